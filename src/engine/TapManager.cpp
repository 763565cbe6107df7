#include "engine/TapManager.h"

#include "engine/AudioValues.h"
#include "engine/DeviceEnumerator.h"
#include "platform/Uuid.h"

#include <QUuid>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace kestrelamp {

using namespace hal;

std::string TapError::description() const {
    switch (kind) {
    case Kind::processNotFound:
        return "Audio process not found: " + subject;
    case Kind::tapCreationFailed:
        return "Failed to create audio tap: " +
               (reason.empty() ? statusDescription(status) : reason);
    case Kind::aggregateCreationFailed:
        return "Failed to create aggregate device: " +
               (reason.empty() ? statusDescription(status) : reason);
    case Kind::deviceNotFound:
        return "Output device not found: " + subject;
    }
    return {};
}

namespace {

constexpr AudioObjectPropertyAddress kReleasedAddress = globalAddress(kAudioTapPropertyIsReleased);
constexpr AudioObjectPropertyAddress kCarriesAddress =
    globalAddress(kAudioAggregateDevicePropertyCarries);
constexpr AudioObjectPropertyAddress kHandBackAddress = globalAddress(kAudioTapPropertyHandBack);

} // namespace

TapManager::TapManager(AudioHardware& hardware, const RunningApplications& runningApplications,
                       QObject* parent)
    : QObject(parent)
    , hardware_(hardware)
    , processEnumerator_(hardware, runningApplications) {}

// Removing the listeners waits for any call in progress, and notices already queued die with the
// object, so nothing reaches a destroyed manager.
TapManager::~TapManager() {
    destroyAllRoutes();
}

std::string TapManager::aggregateDeviceName(const std::string& bundleID) {
    return "Kestrelamp-" + lastIdentifierComponent(bundleID).value_or("app");
}

AggregateDeviceDescription TapManager::aggregateDescription(const std::string& bundleID,
                                                            const std::string& outputDeviceUID,
                                                            const std::string& tapUID) {
    AggregateDeviceDescription description;
    description.name = aggregateDeviceName(bundleID);
    description.uid = std::string(kOwnAggregateUIDPrefix) + "." + uuidString(QUuid::createUuid());
    description.subDeviceUIDs = {outputDeviceUID};
    description.tapUIDs = {tapUID};
    return description;
}

Expected<TapRoute, TapError> TapManager::createRoute(const std::string& bundleID,
                                                     const std::string& outputDeviceUID,
                                                     const std::optional<std::string>& routeKey) {
    const std::string key = routeKey.value_or(bundleID);
    removeRoute(key);

    const auto processObject = processEnumerator_.findProcessObjectID(bundleID);
    if (!processObject) {
        return unexpected(TapError::processNotFound(bundleID));
    }

    CATapDescription tapDescription = CATapDescription::stereoMixdownOfProcesses({*processObject});
    tapDescription.mixdown = false;
    tapDescription.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
    AudioObjectID tapID = kAudioObjectUnknown;
    if (const OSStatus status = hardware_.createProcessTap(tapDescription, tapID);
        status != noErr) {
        return unexpected(TapError::tapCreationFailed(status));
    }

    std::string tapUID;
    if (const OSStatus status =
            hardware_.getPropertyString(tapID, globalAddress(kAudioTapPropertyUID), tapUID);
        status != noErr) {
        hardware_.destroyProcessTap(tapID);
        return unexpected(TapError::tapCreationFailed(-1, "its UID could not be read: " +
                                                              statusDescription(status)));
    }

    AudioObjectID aggregateID = kAudioObjectUnknown;
    const auto description = aggregateDescription(bundleID, outputDeviceUID, tapUID);
    if (const OSStatus status = hardware_.createAggregateDevice(description, aggregateID);
        status != noErr) {
        hardware_.destroyProcessTap(tapID);
        return unexpected(TapError::aggregateCreationFailed(status));
    }

    TapRoute route{bundleID, tapID, aggregateID, outputDeviceUID};
    if (!watchRoute(key, tapID, aggregateID)) {
        hardware_.destroyAggregateDevice(aggregateID);
        hardware_.destroyProcessTap(tapID);
        return unexpected(TapError::tapCreationFailed(
            kAudioHardwareIllegalOperationError,
            "the service would not tell when another program takes the application"));
    }
    activeRoutes_[key] = route;
    return route;
}

void TapManager::expectApplicationsTogether(std::uint32_t count) {
    // Only a hint: a service that makes nothing ahead says it does not know the property.
    hardware_.setPropertyUInt32(hal::kAudioObjectSystemObject,
                                hal::globalAddress(hal::kAudioHardwarePropertyTapsMadeTogether),
                                count);
}

void TapManager::removeRoute(const std::string& key) {
    const auto it = activeRoutes_.find(key);
    if (it == activeRoutes_.end()) {
        return;
    }
    const TapRoute route = it->second;
    activeRoutes_.erase(it);
    destroy(key, route);
}

void TapManager::handBack(const std::string& key) {
    if (const auto route = activeRoutes_.find(key); route != activeRoutes_.end()) {
        hardware_.setPropertyUInt32(route->second.tapID, kHandBackAddress, 1);
    }
}

bool TapManager::handingBack(const std::string& key) {
    const auto route = activeRoutes_.find(key);
    std::uint32_t value = 0;
    return route != activeRoutes_.end() &&
           hardware_.getPropertyUInt32(route->second.tapID, kHandBackAddress, value) == noErr &&
           value != 0;
}

// Every application goes back to its output before any route goes, so that their moves overlap
// rather than follow one another, and the routes carry them until they play there. This waits, but
// it runs only as the program ends.
void TapManager::destroyAllRoutes() {
    std::vector<std::string> keys;
    for (const auto& [key, route] : activeRoutes_) {
        keys.push_back(key);
    }
    for (const std::string& key : keys) {
        handBack(key);
    }
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kLastHandBackWaitMs);
    while (std::chrono::steady_clock::now() < until &&
           std::any_of(keys.begin(), keys.end(),
                       [this](const auto& key) { return handingBack(key); })) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (const std::string& key : keys) {
        removeRoute(key);
    }
}

// The aggregate reads from the tap, so it goes first; nothing listens to a tap that is gone.
void TapManager::destroy(const std::string& key, const TapRoute& route) {
    unwatchRoute(key);
    if (route.aggregateDeviceID != kAudioObjectUnknown) {
        hardware_.destroyAggregateDevice(route.aggregateDeviceID);
    }
    if (route.tapID != kAudioObjectUnknown) {
        hardware_.destroyProcessTap(route.tapID);
    }
}

bool TapManager::watchRoute(const std::string& key, AudioObjectID tapID,
                            AudioObjectID aggregateID) {
    auto watch = std::make_unique<RouteWatch>(RouteWatch{this, key, tapID, aggregateID});
    if (hardware_.addPropertyListener(tapID, kReleasedAddress, &TapManager::onReleaseChanged,
                                      watch.get()) != noErr) {
        return false;
    }
    if (hardware_.addPropertyListener(aggregateID, kCarriesAddress, &TapManager::onProgress,
                                      watch.get()) != noErr ||
        hardware_.addPropertyListener(tapID, kHandBackAddress, &TapManager::onProgress,
                                      watch.get()) != noErr) {
        unwatch(*watch);
        return false;
    }
    routeWatches_[key] = std::move(watch);
    // Released before the listener was there: nothing would tell of it.
    std::uint32_t released = 0;
    if (hardware_.getPropertyUInt32(tapID, kReleasedAddress, released) == noErr && released != 0) {
        QMetaObject::invokeMethod(
            this, [this, key, tapID] { onReleased(key, tapID); }, Qt::QueuedConnection);
    }
    return true;
}

void TapManager::unwatchRoute(const std::string& key) {
    const auto it = routeWatches_.find(key);
    if (it == routeWatches_.end()) {
        return;
    }
    unwatch(*it->second);
    routeWatches_.erase(it);
}

OSStatus TapManager::onReleaseChanged(AudioObjectID, std::uint32_t,
                                      const AudioObjectPropertyAddress*, void* clientData) {
    const auto* watch = static_cast<const RouteWatch*>(clientData);
    if (!watch) {
        return noErr;
    }
    TapManager* manager = watch->manager;
    QMetaObject::invokeMethod(
        manager,
        [manager, key = watch->routeKey, tapID = watch->tapID] { manager->onReleased(key, tapID); },
        Qt::QueuedConnection);
    return noErr;
}

void TapManager::unwatch(RouteWatch& watch) {
    hardware_.removePropertyListener(watch.tapID, kReleasedAddress, &TapManager::onReleaseChanged,
                                     &watch);
    hardware_.removePropertyListener(watch.aggregateID, kCarriesAddress, &TapManager::onProgress,
                                     &watch);
    hardware_.removePropertyListener(watch.tapID, kHandBackAddress, &TapManager::onProgress,
                                     &watch);
}

OSStatus TapManager::onProgress(AudioObjectID, std::uint32_t, const AudioObjectPropertyAddress*,
                                void* clientData) {
    const auto* watch = static_cast<const RouteWatch*>(clientData);
    TapManager* manager = watch->manager;
    QMetaObject::invokeMethod(
        manager,
        [manager, key = watch->routeKey, aggregateID = watch->aggregateID] {
            const auto route = manager->activeRoutes_.find(key);
            if (route != manager->activeRoutes_.end() &&
                route->second.aggregateDeviceID == aggregateID) {
                Q_EMIT manager->routeProgressed(key);
            }
        },
        Qt::QueuedConnection);
    return noErr;
}

Expected<Carrying, TapError> TapManager::carries(const std::string& key) {
    const auto route = activeRoutes_.find(key);
    if (route == activeRoutes_.end()) {
        return Carrying::notYet;
    }
    const AudioObjectID aggregateID = route->second.aggregateDeviceID;
    std::uint32_t value = 0;
    const OSStatus status = hardware_.getPropertyUInt32(aggregateID, kCarriesAddress, value);
    if (status != noErr) {
        std::string reason;
        if (hardware_.getPropertyString(aggregateID,
                                        globalAddress(kAudioAggregateDevicePropertyFailureReason),
                                        reason) != noErr) {
            reason.clear();
        }
        return unexpected(TapError::aggregateCreationFailed(status, std::move(reason)));
    }
    return value != 0 ? Carrying::yes : Carrying::notYet;
}

// On the owner's thread, some time after the service spoke: the route may have gone, or been
// made again with another tap, meanwhile.
void TapManager::onReleased(const std::string& key, AudioObjectID tapID) {
    // Not watched any more: already told, or the route went.
    const auto watch = routeWatches_.find(key);
    if (watch == routeWatches_.end() || watch->second->tapID != tapID) {
        return;
    }
    const auto route = activeRoutes_.find(key);
    if (route == activeRoutes_.end() || route->second.tapID != tapID) {
        return;
    }
    std::uint32_t released = 0;
    if (hardware_.getPropertyUInt32(tapID, kReleasedAddress, released) != noErr || released == 0) {
        return;
    }
    std::string deviceUID;
    if (hardware_.getPropertyString(tapID, globalAddress(kAudioTapPropertyReleaseDeviceUID),
                                    deviceUID) != noErr) {
        deviceUID.clear();
    }
    unwatchRoute(key);
    Q_EMIT tapReleased(key, deviceUID);
}

} // namespace kestrelamp
