#include "engine/TapManager.h"

#include "engine/DeviceEnumerator.h"
#include "model/AudioModel.h"

#include <QUuid>

#include <vector>

namespace kestrelamp {

using namespace hal;

std::string TapError::description() const {
    switch (kind) {
    case Kind::processNotFound:
        return "Audio process not found: " + subject;
    case Kind::tapCreationFailed:
        return "Failed to create audio tap: " + std::to_string(status);
    case Kind::aggregateCreationFailed:
        return "Failed to create aggregate device: " + std::to_string(status);
    case Kind::deviceNotFound:
        return "Output device not found: " + subject;
    }
    return {};
}

TapManager::TapManager(AudioHardware& hardware, const RunningApplications& runningApplications)
    : hardware_(hardware)
    , processEnumerator_(hardware, runningApplications) {}

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
    description.isPrivate = true;
    description.subDeviceUIDs = {outputDeviceUID};
    description.tapUIDs = {tapUID};
    description.tapAutoStart = true;
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
    tapDescription.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
    AudioObjectID tapID = kAudioObjectUnknown;
    if (const OSStatus status = hardware_.createProcessTap(tapDescription, tapID);
        status != noErr) {
        return unexpected(TapError::tapCreationFailed(status));
    }

    std::string tapUID;
    if (hardware_.getPropertyString(tapID, globalAddress(kAudioTapPropertyUID), tapUID) != noErr) {
        hardware_.destroyProcessTap(tapID);
        return unexpected(TapError::tapCreationFailed(-1));
    }

    AudioObjectID aggregateID = kAudioObjectUnknown;
    const auto description = aggregateDescription(bundleID, outputDeviceUID, tapUID);
    if (const OSStatus status = hardware_.createAggregateDevice(description, aggregateID);
        status != noErr) {
        hardware_.destroyProcessTap(tapID);
        return unexpected(TapError::aggregateCreationFailed(status));
    }

    TapRoute route{bundleID, tapID, aggregateID, outputDeviceUID};
    activeRoutes_[key] = route;
    return route;
}

void TapManager::removeRoute(const std::string& key) {
    const auto it = activeRoutes_.find(key);
    if (it == activeRoutes_.end()) {
        return;
    }
    const TapRoute route = it->second;
    activeRoutes_.erase(it);
    destroy(route);
}

void TapManager::destroyAllRoutes() {
    std::vector<std::string> keys;
    for (const auto& [key, route] : activeRoutes_) {
        keys.push_back(key);
    }
    for (const std::string& key : keys) {
        removeRoute(key);
    }
}

// The aggregate reads from the tap, so it goes first.
void TapManager::destroy(const TapRoute& route) {
    if (route.aggregateDeviceID != kAudioObjectUnknown) {
        hardware_.destroyAggregateDevice(route.aggregateDeviceID);
    }
    if (route.tapID != kAudioObjectUnknown) {
        hardware_.destroyProcessTap(route.tapID);
    }
}

} // namespace kestrelamp
