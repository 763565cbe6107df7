#pragma once

#include "app/RemoteControl.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string>

namespace kestrelamp {

namespace hal {
class SimulatedAudioHardware;
}

// The remote-control interface on the session bus. QtDBus delivers every call on the main thread,
// where the route manager lives. A refused call is answered with a D-Bus error whose message
// names the bad argument.
class RemoteControlService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kestrelamp.Kestrelamp1")

public:
    // With a simulated service, its probe is exported beside the interface.
    explicit RemoteControlService(AudioRouteManager& manager,
                                  hal::SimulatedAudioHardware* simulation = nullptr,
                                  QObject* parent = nullptr);
    ~RemoteControlService() override;

    // Registers the objects on the connection (not the name); false when a path is taken.
    bool exportOn(QDBusConnection connection);
    void unexportFrom(QDBusConnection connection);

    // Draws what the instance shows into a PNG file at an absolute path; the reason on failure.
    using PopoverDrawer = std::function<std::optional<std::string>(const QString& path)>;
    // Without one (headless) Screenshot is refused.
    void setPopoverDrawer(PopoverDrawer drawer) { drawer_ = std::move(drawer); }

    // At most this long for the server to connect the routes a command built.
    static constexpr int kConnectWaitMs = 5000;

public Q_SLOTS:
    Q_SCRIPTABLE QString Status();
    Q_SCRIPTABLE void SetOutputDevices(const QString& app, const QStringList& deviceUIDs);
    Q_SCRIPTABLE void AddOutputDevice(const QString& app, const QString& deviceUID);
    Q_SCRIPTABLE void RemoveOutputDevice(const QString& app, const QString& deviceUID);
    Q_SCRIPTABLE void SetVolume(const QString& app, const QString& volume);
    Q_SCRIPTABLE void SetMute(const QString& app, const QString& mode);
    Q_SCRIPTABLE void SetBoost(const QString& app, const QString& multiplier);
    Q_SCRIPTABLE void SetEQPreset(const QString& app, const QString& preset);
    Q_SCRIPTABLE void SetEQBand(const QString& app, const QString& band, const QString& gain);
    Q_SCRIPTABLE void SetPinned(const QString& app, const QString& mode);
    Q_SCRIPTABLE void SetIgnored(const QString& app, const QString& mode);
    Q_SCRIPTABLE void SetDefaultOutputDevice(const QString& deviceUID);
    Q_SCRIPTABLE void SetCallMix(const QString& mode);
    Q_SCRIPTABLE void SetCallMixMicrophone(const QString& microphone);
    Q_SCRIPTABLE void SetCallMixMicrophoneVolume(const QString& volume);
    Q_SCRIPTABLE void SetCallMixMicrophoneMute(const QString& mode);
    Q_SCRIPTABLE void SetRecordingInput(const QString& app, const QString& input);
    Q_SCRIPTABLE void SetRecordingVolume(const QString& app, const QString& volume);
    Q_SCRIPTABLE void SetRecordingMute(const QString& app, const QString& mode);
    Q_SCRIPTABLE void Refresh();
    Q_SCRIPTABLE QString ListProfiles();
    Q_SCRIPTABLE QString SaveProfile(const QString& name, const QString& icon);
    Q_SCRIPTABLE void ApplyProfile(const QString& profile);
    Q_SCRIPTABLE void DeleteProfile(const QString& profile);
    Q_SCRIPTABLE void Show();
    Q_SCRIPTABLE void Screenshot(const QString& path);
    Q_SCRIPTABLE void Quit();

Q_SIGNALS:
    // The popover should open. Nothing listens in headless mode, where showing does nothing.
    void showRequested();
    // Emitted after the reply is on its way; the program then ends its event loop.
    void quitRequested();

private:
    // What a command about one application answers once its routes are connected.
    using Recheck = RemoteResult<void> (RemoteControl::*)(const std::string& appID) const;

    void answer(const RemoteResult<void>& result);
    // Answers once the server has connected or refused the application's routes (every route
    // without one), so that a command that returns has its routes in effect or says why not;
    // recheck, when given, gives the answer then.
    void answerWhenConnected(const RemoteResult<void>& result,
                             const std::optional<std::string>& appID = std::nullopt,
                             Recheck recheck = nullptr);
    // A delayed reply, sent with outcome's answer once pending() is false or the deadline passes.
    void answerOnceSettled(std::function<bool()> pending,
                           std::function<RemoteResult<void>()> outcome);

    AudioRouteManager& manager_;
    RemoteControl control_;
    PopoverDrawer drawer_;
    QObject* simulationProbe_ = nullptr;
};

// What the simulated devices play, on a separate object that exists only on a simulated service.
class SimulationProbe : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.kestrelamp.Kestrelamp1.Simulation")

public:
    explicit SimulationProbe(hal::SimulatedAudioHardware& simulation, QObject* parent = nullptr);

public Q_SLOTS:
    // dBFS over the last frames (at most the recording's capacity) the device played, all
    // channels; -120 for silence.
    Q_SCRIPTABLE double PlayedLevel(const QString& deviceUID, uint frames);

private:
    hal::SimulatedAudioHardware& simulation_;
};

} // namespace kestrelamp
