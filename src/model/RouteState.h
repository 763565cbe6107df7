#pragma once

#include <map>
#include <string>

namespace kestrelamp {

enum class RouteStatus {
    // Its tap and engine exist and the application is there: the device carries its sound.
    active,
    // Its tap and engine exist; the sound server is still connecting them, and the application
    // plays where it played before until it has.
    connecting,
    // The application has no audio process now; the route is built (or its tap captures again)
    // once it has one.
    waitingForApplication,
    // The chosen device is not listed; no route holds the application for it until it is back.
    waitingForDevice,
    // The tap, the aggregate device or the engine was refused; tried again when the devices or
    // the processes change, or when the user chooses again.
    failed,
};

// What one wanted route (one bundle identifier of an application to one of its chosen devices)
// does now.
struct RouteState {
    std::string appID;
    // The application's own identifier or one of its helpers'.
    std::string bundleID;
    std::string deviceUID;
    RouteStatus status = RouteStatus::waitingForApplication;
    // Why it is not active, as the "Route for KEY: …" line says it; empty when active.
    std::string reason;

    bool isActive() const { return status == RouteStatus::active; }
    // "active", "waiting for the sound server", "waiting for the application", "waiting for the
    // device" or "failed: REASON".
    std::string text() const;
    // "Route for KEY: REASON".
    static std::string logLine(const std::string& routeKey, const std::string& reason);

    friend bool operator==(const RouteState&, const RouteState&) = default;
};

// By route key.
using RouteStateMap = std::map<std::string, RouteState>;

} // namespace kestrelamp
