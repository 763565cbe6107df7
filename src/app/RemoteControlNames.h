#pragma once

// Where a running instance answers on the session bus. The interface's version is in its name:
// a change that breaks callers gets a new interface, not a changed one.

namespace kestrelamp::remote {

inline constexpr const char* kServiceName = "com.kestrelamp.Kestrelamp";
inline constexpr const char* kObjectPath = "/com/kestrelamp/Kestrelamp";
inline constexpr const char* kInterface = "com.kestrelamp.Kestrelamp1";

// Only on a simulated audio service: what the simulated devices play, for tests and trials.
inline constexpr const char* kSimulationObjectPath = "/com/kestrelamp/Kestrelamp/Simulation";
inline constexpr const char* kSimulationInterface = "com.kestrelamp.Kestrelamp1.Simulation";

// An argument names nothing that exists, or is not a value the operation takes.
inline constexpr const char* kInvalidArgumentError =
    "com.kestrelamp.Kestrelamp1.Error.InvalidArgument";
// The request is well formed but the application's settings do not allow it.
inline constexpr const char* kRefusedError = "com.kestrelamp.Kestrelamp1.Error.Refused";
// The choice was stored, but not every route of it carries sound now; the message has one
// "Route for KEY: reason" line per route that does not.
inline constexpr const char* kRouteNotActiveError =
    "com.kestrelamp.Kestrelamp1.Error.RouteNotActive";

// The change is in effect but could not be saved; the message has the "Failed to save …" lines.
inline constexpr const char* kNotSavedError = "com.kestrelamp.Kestrelamp1.Error.NotSaved";

} // namespace kestrelamp::remote
