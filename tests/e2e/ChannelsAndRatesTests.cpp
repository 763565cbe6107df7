// Routed sound on the real server as the user hears it, channel by channel: an application keeps
// its own layout and is mixed onto the device as the server would mix it unrouted, and the
// equalizer works at the rate the graph really runs at.

#include "engine/hal/PipeWireAudioHardware.h"
#include "support/LevelMeter.h"
#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"
#include "support/Routing.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kestrelamp::e2e {
namespace {

using namespace hal;

constexpr const char* kApp = "org.example.Layout";
constexpr const char* kSurround = "test_sink_51";
constexpr const char* kMono = "test_sink_mono";
const std::vector<std::string> kSurroundLayout{"FL", "FR", "FC", "LFE", "RL", "RR"};

using Levels = std::vector<double>;

class ChannelsAndRatesTest : public ProgramSessionTest {
protected:
    void TearDown() override {
        ProgramSessionTest::TearDown();
        player_.reset();
        if (session_->isRunning()) {
            session_->setDefaultSink(kSinkA);
            for (const char* sink : {kSurround, kMono}) {
                session_->destroyNode(sink);
            }
        }
    }

    // Each frequency's level in every channel of the sink, once they hold still.
    static std::vector<Levels> steadyTones(LevelMeter& meter, const std::vector<double>& tones) {
        std::vector<Levels> levels;
        std::vector<Levels> previous;
        pollUntil(
            [&] {
                levels.clear();
                for (const double tone : tones) {
                    levels.push_back(meter.toneDbfs(tone, 9600).value_or(Levels{}));
                }
                const bool audible =
                    !levels.empty() && !levels.front().empty() &&
                    *std::max_element(levels.front().begin(), levels.front().end()) > -40.0;
                bool same = previous.size() == levels.size();
                for (std::size_t t = 0; same && t < levels.size(); ++t) {
                    for (std::size_t c = 0; same && c < levels[t].size(); ++c) {
                        same = previous[t].size() == levels[t].size() &&
                               std::abs(previous[t][c] - levels[t][c]) < 0.2;
                    }
                }
                previous = levels;
                return audible && same;
            },
            10000);
        return levels;
    }

    // The application unrouted on the sink (made the default for it), then routed to it through a
    // pass-through: the tones per channel both ways.
    std::pair<std::vector<Levels>, std::vector<Levels>>
    unroutedAndRouted(const std::string& sink, const SinkOptions& options,
                      const ToneOptions& tone) {
        EXPECT_TRUE(session_->createSink(sink, sink, options));
        EXPECT_TRUE(session_->setDefaultSink(sink));
        MeterFormat format;
        format.positions = options.positions;
        LevelMeter meter(sink, format);
        player_ = session_->startPlayer(kApp, "Layout", tone);
        const auto unrouted = steadyTones(meter, tone.frequencies);

        PipeWireAudioHardware hardware;
        const auto process = findProcess(hardware, kApp);
        EXPECT_TRUE(process);
        PassThrough renderer;
        TestRoute route(hardware, process.value_or(0), sink, renderer);
        EXPECT_EQ(route.failure(), "");
        // Routed, the block runs; until then the sink may still hear the stream unrouted.
        pollUntil([&] { return renderer.calls.load() > 20; }, 5000);
        meter.measureDbfs(9600);
        return {unrouted, steadyTones(meter, tone.frequencies)};
    }

    std::unique_ptr<ChildProcess> player_;
};

TEST_F(ChannelsAndRatesTest, AStereoApplicationOnASurroundDeviceSoundsAsItDoesUnrouted) {
    SinkOptions surround;
    surround.positions = kSurroundLayout;
    ToneOptions tone;
    tone.frequencies = {440.0, 1000.0};
    const auto [unrouted, routed] = unroutedAndRouted(kSurround, surround, tone);
    ASSERT_EQ(routed.size(), 2u);
    ASSERT_EQ(routed[0].size(), 6u);
    // Every channel as unrouted (left on FL, right on FR), which puts no full-band sound on LFE.
    EXPECT_LT(routed[0][3], -60.0);
    EXPECT_LT(routed[1][3], -60.0);
    for (std::size_t t = 0; t < 2; ++t) {
        for (std::size_t c = 0; c < 6; ++c) {
            if (unrouted[t][c] > -60.0) {
                EXPECT_NEAR(routed[t][c], unrouted[t][c], 0.5) << "tone " << t << " channel " << c;
            }
        }
    }
}

TEST_F(ChannelsAndRatesTest, ASurroundApplicationKeepsEveryChannelOnASurroundDevice) {
    SinkOptions surround;
    surround.positions = kSurroundLayout;
    ToneOptions tone;
    tone.positions = kSurroundLayout;
    tone.frequencies = {300.0, 500.0, 700.0, 50.0, 900.0, 1100.0};
    tone.amplitude = 0.3;
    const auto [unrouted, routed] = unroutedAndRouted(kSurround, surround, tone);
    ASSERT_EQ(routed.size(), 6u);
    for (std::size_t t = 0; t < 6; ++t) {
        ASSERT_EQ(routed[t].size(), 6u);
        for (std::size_t c = 0; c < 6; ++c) {
            if (c == t) {
                EXPECT_NEAR(routed[t][c], unrouted[t][c], 0.5) << "tone " << t;
                EXPECT_GT(routed[t][c], -20.0) << "tone " << t;
            } else {
                EXPECT_LT(routed[t][c], -60.0) << "tone " << t << " on channel " << c;
            }
        }
    }
}

TEST_F(ChannelsAndRatesTest, AStereoApplicationOnAMonoDevicePlaysTheSum) {
    SinkOptions mono;
    mono.positions = {"MONO"};
    ToneOptions tone;
    tone.frequencies = {440.0, 1000.0};
    const auto [unrouted, routed] = unroutedAndRouted(kMono, mono, tone);
    ASSERT_EQ(routed.size(), 2u);
    for (std::size_t t = 0; t < 2; ++t) {
        ASSERT_EQ(routed[t].size(), 1u);
        EXPECT_NEAR(routed[t][0], unrouted[t][0], 0.5) << "tone " << t;
        EXPECT_GT(routed[t][0], -20.0) << "tone " << t;
    }
}

#ifdef KESTRELAMP_PROGRAM
// The graph switches to the rate of a 44.1 kHz application while the device is idle; the route,
// made while it ran at 48 kHz, filters at the new rate, and the device is reported at it.
TEST_F(ChannelsAndRatesTest, TheEqualizerWorksAtTheRateTheGraphRunsAt) {
    constexpr const char* kRateSink = "test_sink_rate";
    constexpr double kBand9 = 16384.0;
    SinkOptions idle;
    idle.rate = 0;
    ASSERT_TRUE(session_->createSink(kRateSink, "Rate Sink", idle));
    startKestrelamp();

    ToneOptions tone;
    tone.frequencies = {kBand9};
    tone.rate = 44100;
    tone.amplitude = 0.1;
    ASSERT_TRUE(session_->setDefaultSink(kRateSink));
    player_ = session_->startPlayer(kApp, "Layout", tone);
    MeterFormat format;
    format.rate = 44100;
    LevelMeter meter(kRateSink, format);
    const double unrouted = steadyTones(meter, {kBand9})[0][0];
    ASSERT_GT(unrouted, -40.0);
    ASSERT_TRUE(session_->setDefaultSink(kSinkA));

    ASSERT_TRUE(listed(kApp));
    ctl({"route", kApp, kRateSink});
    ctl({"eq-band", kApp, "9", "12"});
    const double boosted = steadyTones(meter, {kBand9})[0][0];
    EXPECT_NEAR(boosted - unrouted, 12.0, 0.5);

    double rate = 0.0;
    EXPECT_TRUE(pollUntil(
        [&] {
            const auto current = status();
            for (const auto& device : current["outputDevices"]) {
                if (device["uid"] == kRateSink) {
                    rate = device.value("sampleRate", 0.0);
                }
            }
            return rate == 44100.0;
        },
        10000))
        << status()["outputDevices"].dump();
    quitKestrelamp();
    player_.reset();
    session_->destroyNode(kRateSink);
}
#endif

} // namespace
} // namespace kestrelamp::e2e
