#pragma once

#include "engine/EQProcessor.h"
#include "engine/TapManager.h"
#include "model/AudioModel.h"
#include "model/RouteState.h"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrelamp {

// One route that a stored choice asks for: one bundle identifier of the application to one of
// its chosen devices.
struct WantedRoute {
    std::string key;
    std::string appID;
    std::string bundleID;
    std::string deviceUID;
};

// Keeps the routes (tap, aggregate device and engine per route key) in step with what the stored
// choices want and with what exists: builds what is missing once its application and its device
// are there, removes what is no longer wanted or whose device went, and knows each wanted
// route's state. It prints the "Route for KEY: reason" line once when a route fails, and once
// when it starts waiting if the caller wants that said.
class RouteLifecycle {
public:
    // The engine's level callback for an application.
    using LevelHandlerFactory = std::function<std::function<void(float)>(const std::string& appID)>;
    using AppPredicate = std::function<bool(const std::string& appID)>;
    // Bundle identifier to process object, as listed.
    using ProcessMap = std::map<std::string, AudioObjectID>;

    struct Pass {
        // In the order the states are to be worked out; keys are unique.
        std::vector<WantedRoute> wanted;
        // Listed output devices: UID to object id.
        std::map<std::string, AudioDeviceID> devices;
        // The stored settings of an application that wants routes.
        std::function<const AppAudioState*(const std::string& appID)> settings;
        // The band gains a new route of the application starts with when they are not its stored
        // preset's (band edits of an application that follows the default output); may be unset.
        std::function<std::optional<BandGains>(const std::string& appID)> bands;
        // Whether a failed route of the application is tried again in this pass.
        AppPredicate retryFailed;
        // Whether a route of the application that starts waiting is reported.
        AppPredicate announceWaiting;
        ProcessMap processes;
    };

    RouteLifecycle(TapManager& tapManager, EQProcessor& eqProcessor,
                   LevelHandlerFactory levelHandlerFactory);

    // True when any state changed.
    bool reconcile(const Pass& pass);
    // Tears down the application's routes; their states stay until the next pass.
    void removeRoutesOf(const std::string& appID);
    // Tears down every route and forgets every state.
    void removeAll();

    const RouteStateMap& states() const { return states_; }
    const RouteState* state(const std::string& key) const;

    // Engine gain of a state: volume × boost, limited to 0 … 4.
    static float engineGain(const AppAudioState& state);

    // Routes that go carry their application until it plays elsewhere, for at most this long;
    // a pass after that removes them.
    static constexpr int kHandBackWaitMs = 300;
    bool hasLeavingRoutes() const { return !leaving_.empty(); }

private:
    RouteState work(const WantedRoute& wanted, const Pass& pass);
    // The route's state after trying to build it.
    RouteState build(const WantedRoute& wanted, const AppAudioState& settings,
                     const std::optional<BandGains>& bands);
    RouteState connectionState(const WantedRoute& wanted,
                               const Expected<Carrying, TapError>& carrying) const;
    void removeRoute(const std::string& key);
    void letGo(const std::vector<std::string>& keys);
    // Routes that exist and are not wanted, by the bundle identifier they carry ("" unknown).
    std::map<std::string, std::vector<std::string>>
    unwantedByBundle(const std::set<std::string>& wantedKeys) const;
    void report(const std::string& key, const RouteState& now, const Pass& pass) const;

    TapManager& tapManager_;
    EQProcessor& eqProcessor_;
    LevelHandlerFactory levelHandlerFactory_;
    RouteStateMap states_;
    // The device object each route was built for: one that came back under a new id needs a
    // new route.
    std::map<std::string, AudioDeviceID> builtFor_;
    // Routes giving their application back, until when they may.
    std::map<std::string, std::chrono::steady_clock::time_point> leaving_;
};

} // namespace kestrelamp
