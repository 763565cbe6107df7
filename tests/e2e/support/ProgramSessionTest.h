#pragma once

#include "ProgramHarness.h"
#include "SessionTest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::e2e {

// Device UID to state text of an application's routes.
using RouteStates = std::map<std::string, std::string>;

// The suite's private server, and in each test the program on a private bus of its own, driven
// through `kestrelamp ctl` and read through its status and its files.
class ProgramSessionTest : public SessionTest {
protected:
    static constexpr int kPatienceMs = 8000;

    void SetUp() override {
        SessionTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_FALSE(bus_.address().isEmpty()) << "dbus-daemon did not start";
        program_ = std::make_unique<test::ProgramHarness>(bus_.address());
    }

    void TearDown() override { program_.reset(); }

    void startKestrelamp() {
        ASSERT_TRUE(program_->startInstance({"--headless"}))
            << program_->instanceErrors().toStdString();
    }

    void quitKestrelamp() {
        EXPECT_EQ(program_->ctl({"quit"}).exitCode, 0);
        EXPECT_EQ(program_->waitForInstanceExit(), 0) << program_->instanceErrors().toStdString();
    }

    // Tone A and the meters of sinks A and B; `unrouted` is the tone's level on A.
    struct ToneA {
        LevelMeter meterA{kSinkA};
        LevelMeter meterB{kSinkB};
        std::unique_ptr<ChildProcess> player;
        double unrouted = 0.0;
    };

    // Tone A playing unrouted on A, then Kestrelamp running with it listed.
    void playToneAWithKestrelamp(ToneA& tone) {
        tone.unrouted = startToneA(tone.player, tone.meterA, kPatienceMs);
        ASSERT_GT(tone.unrouted, kAudible);
        startKestrelamp();
        ASSERT_TRUE(listed(kToneA));
    }

    // Within 0.5 dB, with the program's patience.
    static bool playsOnlyOn(LevelMeter& where, double level,
                            const std::vector<LevelMeter*>& silent) {
        return e2e::playsOnlyOn(where, level, silent, 0.5, kPatienceMs);
    }

    test::RunResult ctl(const QStringList& arguments, int expectedExit = 0) const {
        test::RunResult result = program_->ctl(arguments);
        EXPECT_EQ(result.exitCode, expectedExit)
            << arguments.join(' ').toStdString() << ": " << result.err;
        return result;
    }

    nlohmann::json status() const {
        const auto parsed = nlohmann::json::parse(program_->ctl({"status"}).out, nullptr, false);
        return parsed.is_object() ? parsed : nlohmann::json::object();
    }

    // The application's entry in the status; null while it is not listed.
    nlohmann::json appEntry(const std::string& appID) const {
        for (const auto& app : status().value("apps", nlohmann::json::array())) {
            if (app.value("id", "") == appID) {
                return app;
            }
        }
        return nullptr;
    }

    bool listed(const std::string& appID) const {
        return pollUntil(
            [&] {
                const auto app = appEntry(appID);
                return app.is_object() && app["state"].is_object();
            },
            10000);
    }

    // Device UID to state text of each route the application's choice wants.
    RouteStates routeStates(const std::string& appID) const {
        RouteStates states;
        for (const auto& route : status().value("routes", nlohmann::json::array())) {
            if (route.value("appID", "") == appID) {
                states[route.value("outputDeviceUID", "")] = route.value("state", "");
            }
        }
        return states;
    }

    bool routesBecome(const std::string& appID, const RouteStates& wanted) const {
        return pollUntil([&] { return routeStates(appID) == wanted; }, kPatienceMs);
    }

    // True once the status shows the application's level within 2 dB of what is heard.
    bool showsLevel(const std::string& appID, double heard) const {
        const auto level = [&] {
            const auto app = appEntry(appID);
            return app.is_object() ? app.value("level", nlohmann::json()) : nlohmann::json();
        };
        const bool shown = pollUntil(
            [&] {
                const auto shownLevel = level();
                return shownLevel.is_number() && std::abs(shownLevel.get<double>() - heard) < 2.0;
            },
            kPatienceMs);
        if (!shown) {
            ADD_FAILURE() << appID << " heard at " << heard << " dBFS; status " << status().dump();
        }
        return shown;
    }

    // The stored choice as appStates.json holds it.
    std::vector<std::string> storedChoice(const std::string& appID) const {
        const auto file = nlohmann::json::parse(program_->dataFile("appStates.json").toStdString(),
                                                nullptr, false);
        for (const auto& state : file.is_array() ? file : nlohmann::json::array()) {
            if (state.value("id", "") == appID) {
                return state.value("outputDeviceUIDs", std::vector<std::string>{});
            }
        }
        return {};
    }

    // The level monitors that the last status asked for go a few seconds after it.
    bool leavesNothingOfOurs(int timeoutMs = 10000) const {
        const bool clean =
            pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, timeoutMs);
        if (!clean) {
            ADD_FAILURE() << ::testing::PrintToString(kestrelampObjects(session_->dump()));
        }
        return clean;
    }

    test::PrivateBus bus_;
    std::unique_ptr<test::ProgramHarness> program_;
};

} // namespace kestrelamp::e2e
