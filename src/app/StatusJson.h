#pragma once

#include "engine/hal/AudioHardware.h"

#include "model/AudioRouteManager.h"

#include <nlohmann/json.hpp>

namespace kestrelamp {

// Everything a remote caller may want to know about the running system, as one JSON object:
// "apps", "filteredApps", "outputDevices", "defaultOutputUID", "routes", "profiles",
// "activeProfileID", "showOnlyLive". Absent values are null. "routes" holds every route the
// stored choices want, with its "state": "active", "waiting for the application", "waiting for
// the device" or "failed: REASON". "recording" lists the applications recording now: "id",
// "name", "pid", "recordsFrom" (a device UID, "" for none), "input" (the choice: "default" or a
// UID), "volume", "muted", "state" in words and "level" as the applications' levels are.
nlohmann::json statusJson(AudioRouteManager& manager);
// "microphone": null for none, "default" for the system's default input, else a UID.
nlohmann::json callMixJson(const hal::CallMixSettings& settings);

// The profiles in switcher order: "id", "name", "icon", "routeCount", "active".
nlohmann::json profileListJson(const ProfileManager& profiles);

} // namespace kestrelamp
