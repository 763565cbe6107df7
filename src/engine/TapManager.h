#pragma once

#include "engine/ProcessEnumerator.h"
#include "engine/hal/AudioHardware.h"
#include "platform/Expected.h"

#include <map>
#include <optional>
#include <string>

namespace kestrelamp {

// The platform objects that carry one application's audio to one output device.
struct TapRoute {
    std::string bundleID;
    AudioObjectID tapID = hal::kAudioObjectUnknown;
    AudioObjectID aggregateDeviceID = hal::kAudioObjectUnknown;
    std::string outputDeviceUID;
};

struct TapError {
    enum class Kind { processNotFound, tapCreationFailed, aggregateCreationFailed, deviceNotFound };

    Kind kind = Kind::processNotFound;
    std::string subject; // bundle identifier or device UID
    hal::OSStatus status = hal::noErr;

    static TapError processNotFound(std::string bundleID) {
        return {Kind::processNotFound, std::move(bundleID), 0};
    }
    static TapError tapCreationFailed(hal::OSStatus status) {
        return {Kind::tapCreationFailed, {}, status};
    }
    static TapError aggregateCreationFailed(hal::OSStatus status) {
        return {Kind::aggregateCreationFailed, {}, status};
    }
    static TapError deviceNotFound(std::string uid) {
        return {Kind::deviceNotFound, std::move(uid), 0};
    }

    std::string description() const;
};

// Creates and destroys a process tap plus a private aggregate device per route, keyed by route key.
class TapManager {
public:
    TapManager(hal::AudioHardware& hardware, const RunningApplications& runningApplications);
    ~TapManager();
    TapManager(const TapManager&) = delete;
    TapManager& operator=(const TapManager&) = delete;

    // Stored under routeKey, or under the bundle identifier when none is given. A route already
    // under that key is destroyed first, whatever happens next.
    Expected<TapRoute, TapError>
    createRoute(const std::string& bundleID, const std::string& outputDeviceUID,
                const std::optional<std::string>& routeKey = std::nullopt);
    void removeRoute(const std::string& key);
    void destroyAllRoutes();

    const std::map<std::string, TapRoute>& activeRoutes() const { return activeRoutes_; }

    // "Kestrelamp-" and the identifier's last component ("app" when it has none).
    static std::string aggregateDeviceName(const std::string& bundleID);
    static hal::AggregateDeviceDescription aggregateDescription(const std::string& bundleID,
                                                                const std::string& outputDeviceUID,
                                                                const std::string& tapUID);

private:
    void destroy(const TapRoute& route);

    hal::AudioHardware& hardware_;
    std::map<std::string, TapRoute> activeRoutes_;
    ProcessEnumerator processEnumerator_;
};

} // namespace kestrelamp
