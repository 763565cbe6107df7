#include "model/RouteLifecycle.h"

#include "platform/FailureReport.h"

#include <algorithm>
#include <set>

namespace kestrelamp {

namespace {

RouteState stateOf(const WantedRoute& wanted, RouteStatus status, std::string reason = {}) {
    return {wanted.appID, wanted.bundleID, wanted.deviceUID, status, std::move(reason)};
}

} // namespace

std::string RouteState::text() const {
    switch (status) {
    case RouteStatus::active:
        return "active";
    case RouteStatus::connecting:
        return "waiting for the sound server";
    case RouteStatus::waitingForApplication:
        return "waiting for the application";
    case RouteStatus::waitingForDevice:
        return "waiting for the device";
    case RouteStatus::failed:
        return "failed: " + reason;
    }
    return {};
}

std::string RouteState::logLine(const std::string& routeKey, const std::string& reason) {
    return "Route for " + routeKey + ": " + reason;
}

RouteLifecycle::RouteLifecycle(TapManager& tapManager, EQProcessor& eqProcessor,
                               LevelHandlerFactory levelHandlerFactory)
    : tapManager_(tapManager)
    , eqProcessor_(eqProcessor)
    , levelHandlerFactory_(std::move(levelHandlerFactory)) {}

float RouteLifecycle::engineGain(const AppAudioState& state) {
    const float gain = state.volume * float(state.boostMultiplier);
    return std::max(std::min(gain, 4.0f), 0.0f);
}

const RouteState* RouteLifecycle::state(const std::string& key) const {
    const auto it = states_.find(key);
    return it == states_.end() ? nullptr : &it->second;
}

bool RouteLifecycle::reconcile(const Pass& pass) {
    std::set<std::string> wantedKeys;
    for (const WantedRoute& wanted : pass.wanted) {
        wantedKeys.insert(wanted.key);
    }
    auto unwanted = unwantedByBundle(wantedKeys);

    RouteStateMap next;
    std::vector<std::string> leaving;
    bool bundleConnecting = false;
    for (std::size_t i = 0; i < pass.wanted.size(); ++i) {
        const WantedRoute& wanted = pass.wanted[i];
        RouteState now = work(wanted, pass);
        report(wanted.key, now, pass);
        bundleConnecting = bundleConnecting || now.status == RouteStatus::connecting;
        next.insert_or_assign(wanted.key, std::move(now));
        // Its routes that are no longer wanted go once its new ones carry it: the new route takes
        // the application over from the old one, so that moving it to another device neither
        // drops its sound nor sends it to the default output in between.
        const bool lastOfBundle =
            i + 1 == pass.wanted.size() || pass.wanted[i + 1].bundleID != wanted.bundleID;
        if (!lastOfBundle) {
            continue;
        }
        if (const auto it = unwanted.find(wanted.bundleID); it != unwanted.end()) {
            if (!bundleConnecting) {
                leaving.insert(leaving.end(), it->second.begin(), it->second.end());
            }
            unwanted.erase(it);
        }
        bundleConnecting = false;
    }
    for (const auto& [bundleID, keys] : unwanted) {
        leaving.insert(leaving.end(), keys.begin(), keys.end());
    }
    letGo(leaving);
    if (next == states_) {
        return false;
    }
    states_ = std::move(next);
    return true;
}

std::map<std::string, std::vector<std::string>>
RouteLifecycle::unwantedByBundle(const std::set<std::string>& wantedKeys) const {
    std::map<std::string, std::vector<std::string>> unwanted;
    std::set<std::string> existing;
    for (const auto& [key, route] : tapManager_.activeRoutes()) {
        existing.insert(key);
    }
    for (const auto& [key, engine] : eqProcessor_.engines()) {
        existing.insert(key);
    }
    for (const std::string& key : existing) {
        if (wantedKeys.count(key) > 0) {
            continue;
        }
        const auto route = tapManager_.activeRoutes().find(key);
        const RouteState* known = state(key);
        const std::string bundleID = route != tapManager_.activeRoutes().end()
                                         ? route->second.bundleID
                                         : (known != nullptr ? known->bundleID : std::string());
        unwanted[bundleID].push_back(key);
    }
    return unwanted;
}

// A route that goes first gives its application back and carries it until it plays on its own
// output, so that nothing of it is lost in between; only then, or after a while, it is removed.
void RouteLifecycle::letGo(const std::vector<std::string>& keys) {
    const auto now = std::chrono::steady_clock::now();
    for (const std::string& key : keys) {
        if (leaving_.emplace(key, now + std::chrono::milliseconds(kHandBackWaitMs)).second) {
            tapManager_.handBack(key);
        }
    }
    std::vector<std::string> gone;
    for (const auto& [key, until] : leaving_) {
        if (now >= until || !tapManager_.handingBack(key)) {
            gone.push_back(key);
        }
    }
    for (const std::string& key : gone) {
        leaving_.erase(key);
        removeRoute(key);
    }
}

RouteState RouteLifecycle::work(const WantedRoute& wanted, const Pass& pass) {
    // Wanted again while it gave its application back: it holds nothing any more.
    if (leaving_.erase(wanted.key) > 0) {
        removeRoute(wanted.key);
    }
    const auto device = pass.devices.find(wanted.deviceUID);
    if (device == pass.devices.end()) {
        // Its tap would hold the application for a device that plays nothing.
        removeRoute(wanted.key);
        return stateOf(wanted, RouteStatus::waitingForDevice,
                       TapError::deviceNotFound(wanted.deviceUID).description());
    }
    const bool isPresent = pass.processes.count(wanted.bundleID) > 0;
    const bool hasRoute = tapManager_.activeRoutes().count(wanted.key) > 0 &&
                          eqProcessor_.engine(wanted.key) != nullptr;
    const auto built = builtFor_.find(wanted.key);
    const auto carrying =
        hasRoute ? tapManager_.carries(wanted.key) : Expected<Carrying, TapError>(Carrying::notYet);
    const bool refused = !carrying;
    if (hasRoute && !refused && built != builtFor_.end() && built->second == device->second) {
        // A route whose application quit keeps its tap: the service captures the application
        // again when it comes back.
        return isPresent ? connectionState(wanted, carrying)
                         : stateOf(wanted, RouteStatus::waitingForApplication,
                                   TapError::processNotFound(wanted.bundleID).description());
    }
    if (refused) {
        RouteState failed = connectionState(wanted, carrying);
        removeRoute(wanted.key);
        return failed;
    }
    removeRoute(wanted.key);

    const RouteState* previous = state(wanted.key);
    if (previous && previous->status == RouteStatus::failed &&
        previous->deviceUID == wanted.deviceUID && !pass.retryFailed(wanted.appID)) {
        return *previous;
    }
    if (!isPresent) {
        return stateOf(wanted, RouteStatus::waitingForApplication,
                       TapError::processNotFound(wanted.bundleID).description());
    }
    RouteState result = build(wanted, *pass.settings(wanted.appID),
                              pass.bands ? pass.bands(wanted.appID) : std::nullopt);
    if (result.status == RouteStatus::failed) {
        removeRoute(wanted.key);
    } else if (result.status == RouteStatus::active || result.status == RouteStatus::connecting) {
        builtFor_[wanted.key] = device->second;
    }
    return result;
}

RouteState RouteLifecycle::build(const WantedRoute& wanted, const AppAudioState& settings,
                                 const std::optional<BandGains>& bands) {
    const auto route = tapManager_.createRoute(wanted.bundleID, wanted.deviceUID, wanted.key);
    if (!route) {
        const RouteStatus status = route.error().kind == TapError::Kind::processNotFound
                                       ? RouteStatus::waitingForApplication
                                       : RouteStatus::failed;
        return stateOf(wanted, status, route.error().description());
    }
    if (auto started = eqProcessor_.startProcessing(wanted.key, route->aggregateDeviceID);
        !started) {
        // A tap without an engine would keep the application silent everywhere.
        tapManager_.removeRoute(wanted.key);
        return stateOf(wanted, RouteStatus::failed, started.error().description());
    }
    EngineState* engine = eqProcessor_.engine(wanted.key);
    engine->volume.store(engineGain(settings), std::memory_order_relaxed);
    engine->isMuted.store(settings.isMuted, std::memory_order_relaxed);
    if (settings.eqPresetID) {
        const auto& presets = EQPreset::allPresets();
        const auto preset = std::find_if(presets.begin(), presets.end(), [&](const EQPreset& p) {
            return p.id == *settings.eqPresetID;
        });
        if (preset != presets.end()) {
            eqProcessor_.applyPreset(*preset, wanted.key);
        }
    }
    if (bands) {
        engine->eqBands = *bands;
        EQProcessor::updateFilters(*engine);
    }
    engine->levelHandler = levelHandlerFactory_(wanted.appID);
    return connectionState(wanted, tapManager_.carries(wanted.key));
}

// What the service says of the route's connection: it carries the application, is still being
// connected, or could not be (why, as the refused aggregate says it).
RouteState RouteLifecycle::connectionState(const WantedRoute& wanted,
                                           const Expected<Carrying, TapError>& carrying) const {
    if (!carrying) {
        return stateOf(wanted, RouteStatus::failed, carrying.error().description());
    }
    return stateOf(wanted,
                   *carrying == Carrying::yes ? RouteStatus::active : RouteStatus::connecting);
}

void RouteLifecycle::report(const std::string& key, const RouteState& now, const Pass& pass) const {
    if (now.isActive() || now.status == RouteStatus::connecting) {
        return;
    }
    const RouteState* previous = state(key);
    const bool isNew =
        !previous || previous->status != now.status || previous->reason != now.reason;
    if (!isNew) {
        return;
    }
    if (now.status == RouteStatus::failed || pass.announceWaiting(now.appID)) {
        reportFailure(RouteState::logLine(key, now.reason));
    }
}

void RouteLifecycle::removeRoute(const std::string& key) {
    tapManager_.removeRoute(key);
    eqProcessor_.stopProcessing(key);
    builtFor_.erase(key);
}

void RouteLifecycle::removeRoutesOf(const std::string& appID) {
    std::set<std::string> keys;
    for (const auto& [key, routeState] : states_) {
        if (routeState.appID == appID) {
            keys.insert(key);
        }
    }
    for (const std::string& key : keys) {
        removeRoute(key);
    }
}

void RouteLifecycle::removeAll() {
    leaving_.clear();
    tapManager_.destroyAllRoutes();
    eqProcessor_.stopAll();
    builtFor_.clear();
    states_.clear();
}

} // namespace kestrelamp
