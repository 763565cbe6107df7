#include "app/RemoteControlService.h"

#include <memory>

#include "app/RemoteControlNames.h"
#include "engine/hal/SimulatedAudioHardware.h"

#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace kestrelamp {
namespace {

std::string text(const QString& value) {
    return value.toStdString();
}

const char* errorName(RemoteError::Kind kind) {
    switch (kind) {
    case RemoteError::Kind::invalidArgument:
        return remote::kInvalidArgumentError;
    case RemoteError::Kind::refused:
        return remote::kRefusedError;
    case RemoteError::Kind::routeNotActive:
        return remote::kRouteNotActiveError;
    case RemoteError::Kind::notSaved:
        return remote::kNotSavedError;
    }
    return remote::kInvalidArgumentError;
}

} // namespace

RemoteControlService::RemoteControlService(AudioRouteManager& manager,
                                           hal::SimulatedAudioHardware* simulation, QObject* parent)
    : QObject(parent)
    , manager_(manager)
    , control_(manager) {
    if (simulation) {
        simulationProbe_ = new SimulationProbe(*simulation, this);
    }
}

RemoteControlService::~RemoteControlService() = default;

bool RemoteControlService::exportOn(QDBusConnection connection) {
    if (!connection.registerObject(remote::kObjectPath, this,
                                   QDBusConnection::ExportScriptableSlots)) {
        return false;
    }
    if (simulationProbe_ &&
        !connection.registerObject(remote::kSimulationObjectPath, simulationProbe_,
                                   QDBusConnection::ExportScriptableSlots)) {
        connection.unregisterObject(remote::kObjectPath);
        return false;
    }
    return true;
}

void RemoteControlService::unexportFrom(QDBusConnection connection) {
    if (simulationProbe_) {
        connection.unregisterObject(remote::kSimulationObjectPath);
    }
    connection.unregisterObject(remote::kObjectPath);
}

void RemoteControlService::answer(const RemoteResult<void>& result) {
    if (!result && calledFromDBus()) {
        sendErrorReply(errorName(result.error().kind),
                       QString::fromStdString(result.error().message));
    }
}

void RemoteControlService::answerWhenConnected(const RemoteResult<void>& result,
                                               const std::optional<std::string>& appID,
                                               Recheck recheck) {
    if (!result || !calledFromDBus() || !control_.routesConnecting(appID)) {
        answer(result);
        return;
    }
    answerOnceSettled([this, appID] { return control_.routesConnecting(appID); },
                      [this, appID, recheck] {
                          return recheck && appID ? (control_.*recheck)(*appID)
                                                  : RemoteResult<void>{};
                      });
}

void RemoteControlService::answerOnceSettled(std::function<bool()> pending,
                                             std::function<RemoteResult<void>()> outcome) {
    setDelayedReply(true);
    const QDBusMessage call = message();
    QDBusConnection bus = connection();
    // Answered as soon as the states say so; the poll catches the deadline.
    auto* waiter = new QObject(this);
    auto answered = std::make_shared<bool>(false);
    QElapsedTimer waited;
    waited.start();
    const auto check = [waiter, answered, waited, call, bus, pending, outcome]() mutable {
        if (*answered || (pending() && !waited.hasExpired(kConnectWaitMs))) {
            return;
        }
        *answered = true;
        waiter->deleteLater();
        const RemoteResult<void> result = outcome();
        bus.send(result ? call.createReply()
                        : call.createErrorReply(errorName(result.error().kind),
                                                QString::fromStdString(result.error().message)));
    };
    connect(&manager_, &AudioRouteManager::routeStatesChanged, waiter, check);
    connect(&manager_, &AudioRouteManager::defaultOutputDeviceChanged, waiter, check);
    connect(&manager_, &AudioRouteManager::outputDevicesChanged, waiter, check);
    auto* poll = new QTimer(waiter);
    poll->setInterval(10);
    connect(poll, &QTimer::timeout, waiter, check);
    poll->start();
}

QString RemoteControlService::Status() {
    if (calledFromDBus() && control_.startLevels()) {
        // Monitors that just started have no level yet: answer once they have one, rather than
        // report silence for applications that play.
        setDelayedReply(true);
        QDBusMessage reply = message().createReply();
        QDBusConnection bus = connection();
        QTimer::singleShot(RemoteControl::kFirstLevelsMs, this, [this, reply, bus]() mutable {
            control_.pollLevels();
            bus.send(reply << QString::fromStdString(control_.status()));
        });
        return {};
    }
    return QString::fromStdString(control_.status());
}

void RemoteControlService::SetOutputDevices(const QString& app, const QStringList& deviceUIDs) {
    std::vector<std::string> uids;
    uids.reserve(std::size_t(deviceUIDs.size()));
    for (const QString& uid : deviceUIDs) {
        uids.push_back(text(uid));
    }
    answerWhenConnected(control_.setOutputDevices(text(app), uids), text(app),
                        &RemoteControl::routesOf);
}

void RemoteControlService::AddOutputDevice(const QString& app, const QString& deviceUID) {
    answerWhenConnected(control_.addOutputDevice(text(app), text(deviceUID)), text(app),
                        &RemoteControl::routesOf);
}

void RemoteControlService::RemoveOutputDevice(const QString& app, const QString& deviceUID) {
    answerWhenConnected(control_.removeOutputDevice(text(app), text(deviceUID)), text(app));
}

void RemoteControlService::SetVolume(const QString& app, const QString& volume) {
    answerWhenConnected(control_.setVolume(text(app), text(volume)), text(app),
                        &RemoteControl::settingActs);
}

void RemoteControlService::SetMute(const QString& app, const QString& mode) {
    answerWhenConnected(control_.setMute(text(app), text(mode)), text(app),
                        &RemoteControl::settingActs);
}

void RemoteControlService::SetBoost(const QString& app, const QString& multiplier) {
    answerWhenConnected(control_.setBoost(text(app), text(multiplier)), text(app),
                        &RemoteControl::settingActs);
}

void RemoteControlService::SetEQPreset(const QString& app, const QString& preset) {
    answerWhenConnected(control_.setEQPreset(text(app), text(preset)), text(app),
                        &RemoteControl::settingActs);
}

void RemoteControlService::SetEQBand(const QString& app, const QString& band, const QString& gain) {
    answerWhenConnected(control_.setEQBand(text(app), text(band), text(gain)), text(app),
                        &RemoteControl::settingActs);
}

void RemoteControlService::SetPinned(const QString& app, const QString& mode) {
    answer(control_.setPinned(text(app), text(mode)));
}

void RemoteControlService::SetIgnored(const QString& app, const QString& mode) {
    answerWhenConnected(control_.setIgnored(text(app), text(mode)), text(app));
}

void RemoteControlService::SetDefaultOutputDevice(const QString& deviceUID) {
    const std::string uid = text(deviceUID);
    const RemoteResult<void> result = control_.setDefaultOutputDevice(uid);
    if (!result || !calledFromDBus() || control_.isDefaultOutputDevice(uid)) {
        answer(result);
        return;
    }
    // The session manager makes it the default; the reply waits to see it, or says it did not.
    answerOnceSettled([this, uid] { return !control_.isDefaultOutputDevice(uid); },
                      [this, uid] { return control_.checkDefaultOutputDevice(uid); });
}

void RemoteControlService::SetCallMix(const QString& mode) {
    const RemoteResult<void> result = control_.setCallMix(text(mode));
    if (!result || !calledFromDBus() || !control_.callMixChanging()) {
        answer(result);
        return;
    }
    // Answered once the call mix is listed (or gone), so that a route to it can follow at once.
    answerOnceSettled([this] { return control_.callMixChanging(); },
                      [this] { return control_.checkCallMix(); });
}

void RemoteControlService::SetCallMixMicrophone(const QString& microphone) {
    answer(control_.setCallMixMicrophone(text(microphone)));
}

void RemoteControlService::SetCallMixMicrophoneVolume(const QString& volume) {
    answer(control_.setCallMixMicrophoneVolume(text(volume)));
}

void RemoteControlService::SetCallMixMicrophoneMute(const QString& mode) {
    answer(control_.setCallMixMicrophoneMute(text(mode)));
}

void RemoteControlService::SetRecordingInput(const QString& app, const QString& input) {
    answer(control_.setRecordingInput(text(app), text(input)));
}

void RemoteControlService::SetRecordingVolume(const QString& app, const QString& volume) {
    answer(control_.setRecordingVolume(text(app), text(volume)));
}

void RemoteControlService::SetRecordingMute(const QString& app, const QString& mode) {
    answer(control_.setRecordingMute(text(app), text(mode)));
}

void RemoteControlService::Refresh() {
    control_.refresh();
}

QString RemoteControlService::ListProfiles() {
    return QString::fromStdString(control_.profileList());
}

QString RemoteControlService::SaveProfile(const QString& name, const QString& icon) {
    const auto saved = control_.saveProfile(text(name), text(icon));
    if (!saved) {
        answer(unexpected(saved.error()));
        return {};
    }
    return QString::fromStdString(*saved);
}

void RemoteControlService::ApplyProfile(const QString& profile) {
    answerWhenConnected(control_.applyProfile(text(profile)));
}

void RemoteControlService::DeleteProfile(const QString& profile) {
    answer(control_.deleteProfile(text(profile)));
}

void RemoteControlService::Show() {
    Q_EMIT showRequested();
}

void RemoteControlService::Screenshot(const QString& path) {
    const auto refuse = [&](const char* error, const QString& message) {
        if (calledFromDBus()) {
            sendErrorReply(error, message);
        }
    };
    if (!drawer_) {
        refuse(remote::kRefusedError, "Kestrelamp runs headless: it has no popover to draw.");
    } else if (!QDir::isAbsolutePath(path)) {
        refuse(remote::kInvalidArgumentError, "The path '" + path + "' is not absolute.");
    } else if (const auto failure = drawer_(path)) {
        refuse(remote::kRefusedError, QString::fromStdString(*failure));
    }
}

void RemoteControlService::Quit() {
    // Queued, so that the reply leaves before the event loop ends.
    QMetaObject::invokeMethod(this, &RemoteControlService::quitRequested, Qt::QueuedConnection);
}

SimulationProbe::SimulationProbe(hal::SimulatedAudioHardware& simulation, QObject* parent)
    : QObject(parent)
    , simulation_(simulation) {}

double SimulationProbe::PlayedLevel(const QString& deviceUID, uint frames) {
    const hal::AudioObjectID device = simulation_.deviceID(text(deviceUID));
    const auto level =
        device == hal::kAudioObjectUnknown
            ? std::nullopt
            : simulation_.playedLevel(
                  device, std::min<std::uint32_t>(
                              frames, hal::SimulatedAudioHardware::kRecordingCapacityFrames));
    if (!level || frames == 0) {
        if (calledFromDBus()) {
            sendErrorReply(remote::kInvalidArgumentError,
                           frames == 0 ? "Frames '0' is not a positive count."
                                       : "Unknown device '" + deviceUID + "'.");
        }
        return 0;
    }
    return *level;
}

} // namespace kestrelamp
