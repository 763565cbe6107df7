#pragma once

#include "engine/hal/AudioHardware.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kestrelamp {

// Levels of applications that no route of ours plays: one passive level monitor per process
// object of each such application, only while someone looks at levels (the popover is open, or
// levels were asked for in the last few seconds). Each poll hands every monitored application's
// level to the handler; an application whose monitors go is handed silence once.
class UnroutedLevelMonitors : public QObject {
    Q_OBJECT

public:
    static constexpr int kPollIntervalMs = 50;
    // How long one request for levels keeps the monitors running.
    static constexpr int kAskedHoldMs = 3000;

    using LevelHandler = std::function<void(const std::string& appID, float level)>;
    // The process objects of each application to monitor.
    using Candidates = std::map<std::string, std::vector<hal::AudioObjectID>>;

    UnroutedLevelMonitors(hal::AudioHardware& hardware, LevelHandler handler,
                          QObject* parent = nullptr);
    ~UnroutedLevelMonitors() override;

    // While watched (the popover is open) the monitors run.
    void setWatched(bool watched);
    // Someone read the levels once: the monitors run for kAskedHoldMs.
    void levelsAsked();
    bool isActive() const { return watched_ || asked_.isActive(); }
    void setAskedHoldMs(int milliseconds) { asked_.setInterval(milliseconds); }
    // The applications that would get monitors while active; applied at once.
    void setCandidates(Candidates candidates);
    // The applications with a monitor now.
    std::vector<std::string> monitoredApps() const;
    bool isMonitored(const std::string& appID) const { return monitors_.count(appID) > 0; }
    // Reads every monitor once and hands the levels on.
    void poll();

Q_SIGNALS:
    // Someone began or stopped looking at levels; routed levels follow the same demand.
    void activeChanged(bool active);

private:
    void apply();
    void stopApp(const std::string& appID);

    hal::AudioHardware& hardware_;
    LevelHandler handler_;
    Candidates candidates_;
    // Application → its monitors, by the process object each measures.
    std::map<std::string, std::map<hal::AudioObjectID, hal::AudioObjectID>> monitors_;
    bool watched_ = false;
    bool announcedActive_ = false;
    QTimer asked_;
    QTimer pollTimer_;
};

} // namespace kestrelamp
