#pragma once

#include "engine/ProcessEnumerator.h"
#include "engine/hal/AudioHardware.h"
#include "platform/Expected.h"

#include <QObject>

#include <map>
#include <memory>
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
    // Why, in words, when the service said more than the status (its "why?").
    std::string reason;

    static TapError processNotFound(std::string bundleID) {
        return {Kind::processNotFound, std::move(bundleID), 0, {}};
    }
    static TapError tapCreationFailed(hal::OSStatus status, std::string reason = {}) {
        return {Kind::tapCreationFailed, {}, status, std::move(reason)};
    }
    static TapError aggregateCreationFailed(hal::OSStatus status, std::string reason = {}) {
        return {Kind::aggregateCreationFailed, {}, status, std::move(reason)};
    }
    static TapError deviceNotFound(std::string uid) {
        return {Kind::deviceNotFound, std::move(uid), 0, {}};
    }

    // The fixed beginning of its kind, then the subject, or the reason, or the status in words
    // ("Failed to create aggregate device: no answer in time ('tmot')").
    std::string description() const;
};

// Whether a route's aggregate carries its application to the device: not yet while the service
// is still connecting it.
enum class Carrying { yes, notYet };

// Creates and destroys a process tap plus a private aggregate device per route, keyed by route key.
// Taps keep the application's own channel layout (no stereo mixdown). When another client takes a
// route's application elsewhere, the service releases the route's tap and the manager says so with
// tapReleased, on the thread that owns it (the main thread); the route stays until its owner
// removes it.
class TapManager : public QObject {
    Q_OBJECT

public:
    TapManager(hal::AudioHardware& hardware, const RunningApplications& runningApplications,
               QObject* parent = nullptr);
    ~TapManager() override;

    // Stored under routeKey, or under the bundle identifier when none is given. A route already
    // under that key is destroyed first, whatever happens next.
    Expected<TapRoute, TapError>
    createRoute(const std::string& bundleID, const std::string& outputDeviceUID,
                const std::optional<std::string>& routeKey = std::nullopt);
    void removeRoute(const std::string& key);
    // Gives the route's application back to its output while the route carries what still
    // reaches it; handingBack is true until the application plays there (routeProgressed).
    void handBack(const std::string& key);
    bool handingBack(const std::string& key);
    // As the program ends: hands every route back, waits at most kLastHandBackWaitMs for the
    // applications to play on their outputs, then removes the routes.
    void destroyAllRoutes();
    static constexpr int kLastHandBackWaitMs = 300;
    // How many applications may be routed at once (the largest profile): the service may make
    // ready ahead what their taps need.
    void expectApplicationsTogether(std::uint32_t count);

    const std::map<std::string, TapRoute>& activeRoutes() const { return activeRoutes_; }
    // Whether the route's aggregate carries the application to its device yet, or why the
    // service could not connect it (aggregateCreationFailed with the service's status and words).
    // Not yet for a route that does not exist.
    Expected<Carrying, TapError> carries(const std::string& key);

    // "Kestrelamp-" and the identifier's last component ("app" when it has none).
    static std::string aggregateDeviceName(const std::string& bundleID);
    static hal::AggregateDeviceDescription aggregateDescription(const std::string& bundleID,
                                                                const std::string& outputDeviceUID,
                                                                const std::string& tapUID);

Q_SIGNALS:
    // The route under the key still exists; deviceUID is where its application plays now ("" for
    // the system default output, or anything that is not an output device).
    void tapReleased(const std::string& routeKey, const std::string& deviceUID);
    // The service connected a route, could not, or finished giving its application back.
    void routeProgressed(const std::string& routeKey);

private:
    // The client data of one route's "trl?", "acr?" and "thbk" listeners.
    struct RouteWatch {
        TapManager* manager = nullptr;
        std::string routeKey;
        AudioObjectID tapID = hal::kAudioObjectUnknown;
        AudioObjectID aggregateID = hal::kAudioObjectUnknown;
    };

    void destroy(const std::string& key, const TapRoute& route);
    // False when the service would not tell of a release: such a route could not be kept true.
    bool watchRoute(const std::string& key, AudioObjectID tapID, AudioObjectID aggregateID);
    void unwatchRoute(const std::string& key);
    // Removes whichever of the watch's listeners are there.
    void unwatch(RouteWatch& watch);
    void onReleased(const std::string& key, AudioObjectID tapID);
    static hal::OSStatus onReleaseChanged(AudioObjectID, std::uint32_t,
                                          const hal::AudioObjectPropertyAddress*, void* clientData);
    static hal::OSStatus onProgress(AudioObjectID, std::uint32_t,
                                    const hal::AudioObjectPropertyAddress*, void* clientData);

    hal::AudioHardware& hardware_;
    std::map<std::string, TapRoute> activeRoutes_;
    std::map<std::string, std::unique_ptr<RouteWatch>> routeWatches_;
    ProcessEnumerator processEnumerator_;
};

} // namespace kestrelamp
