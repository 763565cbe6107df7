#include "RouteWorld.h"

#include <cmath>

#include <gtest/gtest.h>

namespace kestrelamp::test {

std::string scenarioWithApps(int count) {
    std::string processes;
    std::string apps;
    for (int i = 0; i < count; ++i) {
        const std::string number = (i < 10 ? "0" : "") + std::to_string(i);
        const std::string id = "org.example.App" + number;
        if (i > 0) {
            processes += ",";
            apps += ",";
        }
        processes += R"({ "bundleID": ")" + id + R"(", "pid": )" + std::to_string(1000 + i) +
                     R"(, "running": )" + (i == 0 ? "true" : "false") + "}";
        apps += R"({ "bundleID": ")" + id + R"(", "name": "App )" + number + R"(" })";
    }
    return R"({ "processes": [)" + processes + R"(], "runningApps": [)" + apps +
           R"(], "devices": [ { "uid": "speakers", "name": "Speakers", "transport": "bltn",
           "sampleRate": 48000 } ], "defaultOutput": "speakers" })";
}

std::string standardScenario() {
    return R"({
      "processes": [
        { "bundleID": "org.example.Player", "pid": 100, "running": true,
          "signal": { "type": "sine", "frequency": 1000, "amplitude": 0.5, "channels": 2 } },
        { "bundleID": "org.example.Player.helper", "pid": 101, "running": false },
        { "bundleID": "org.example.Other", "pid": 200, "running": true,
          "signal": { "type": "sine", "frequency": 32, "amplitude": 0.25, "channels": 2 } },
        { "bundleID": "org.example.Quiet", "pid": 300, "running": false }
      ],
      "runningApps": [
        { "bundleID": "org.example.Player", "name": "Player", "icon": "multimedia-player" },
        { "bundleID": "org.example.Other", "name": "Other" },
        { "bundleID": "org.example.Quiet", "name": "Quiet" }
      ],
      "devices": [
        { "uid": "speakers", "name": "Speakers", "transport": "bltn", "sampleRate": 48000 },
        { "uid": "headphones", "name": "Headphones", "transport": "usb ", "sampleRate": 48000 },
        { "uid": "hdmi", "name": "TV", "transport": "hdmi", "sampleRate": 48000 }
      ],
      "defaultOutput": "speakers"
    })";
}

RouteWorld::RouteWorld(const std::string& scenarioJson, bool create) {
    auto loaded = hal::loadScenario(scenarioJson);
    if (!loaded) {
        ADD_FAILURE() << loaded.error().description;
        return;
    }
    world_ = std::move(*loaded);
    defaults_ = std::make_unique<UserDefaults>();
    if (create) {
        createManager();
    }
}

RouteWorld::~RouteWorld() {
    manager_.reset();
    defaults_.reset();
}

void RouteWorld::createManager() {
    // The folder's lock goes with the manager before the next one takes it.
    manager_.reset();
    manager_ = std::make_unique<AudioRouteManager>(*world_.hardware, *world_.runningApplications,
                                                   *defaults_, home_.dataFolder());
}

void RouteWorld::render(std::uint32_t cycles, std::uint32_t frames) {
    hardware().render(cycles, frames);
}

float RouteWorld::levelOn(const std::string& uid, std::uint32_t frames) {
    hardware().clearPlayed();
    render(frames / 480 + 2, 480);
    return hardware().playedLevel(device(uid), frames).value_or(-999.0f);
}

std::set<std::string> builtRoutes(AudioRouteManager& manager, const std::string& prefix) {
    std::set<std::string> keys;
    for (const auto& [key, route] : manager.tapManager().activeRoutes()) {
        if (key.starts_with(prefix)) {
            keys.insert(key);
        }
    }
    return keys;
}

float sineLevel(float amplitude) {
    return 20.0f * std::log10(amplitude / std::sqrt(2.0f));
}

} // namespace kestrelamp::test
