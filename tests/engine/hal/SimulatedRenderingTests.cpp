#include "SimulatedTestWorld.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <numbers>

namespace kestrelamp::hal::test {
namespace {

using namespace std::chrono_literals;

constexpr double kRate = 48000.0;

float sineAt(std::uint32_t frame, double frequency, float amplitude) {
    return amplitude * float(std::sin(2.0 * std::numbers::pi * frequency * frame / kRate));
}

// Remembers the buffer layout and each input buffer's level; copies input to output.
struct Probe {
    std::atomic<std::uint32_t> inputBuffers{0};
    std::array<std::atomic<float>, 4> inputLevels{};

    AudioDeviceIOBlock block() {
        return [this](const AudioIOCycle&, const AudioBufferList& input, AudioBufferList& output) {
            inputBuffers = input.numberBuffers;
            for (std::uint32_t b = 0; b < input.numberBuffers && b < inputLevels.size(); ++b) {
                const auto* in = static_cast<const float*>(input.buffers[b].data);
                const std::uint32_t samples = input.buffers[b].dataByteSize / 4;
                double sum = 0;
                for (std::uint32_t i = 0; i < samples; ++i) {
                    sum += double(in[i]) * in[i];
                }
                inputLevels[b] = levelFromRms(samples ? std::sqrt(sum / samples) : 0.0);
                if (b < output.numberBuffers) {
                    std::copy(in, in + samples, static_cast<float*>(output.buffers[b].data));
                }
            }
        };
    }
};

class SimulatedRendering : public ::testing::Test {
protected:
    SimulatedTestWorld world{R"({
        "processes": [
            { "bundleID": "org.example.Tone", "pid": 10,
              "signal": { "type": "sine", "frequency": 1000, "amplitude": 0.5, "channels": 1 } },
            { "bundleID": "org.example.Quiet", "pid": 11, "running": false,
              "signal": { "type": "sine", "frequency": 1000, "amplitude": 0.5 } }
        ],
        "devices": [
            { "uid": "speakers", "sampleRate": 48000 },
            { "uid": "headphones", "sampleRate": 48000 }
        ],
        "defaultOutput": "speakers"
    })"};
    SimulatedAudioHardware& hw = world.hardware();
    const AudioObjectID tone = hw.processID("org.example.Tone");
    const AudioObjectID quiet = hw.processID("org.example.Quiet");
    const AudioObjectID speakers = hw.deviceID("speakers");
    const AudioObjectID headphones = hw.deviceID("headphones");

    double level(const std::string& uid) { return world.playedLevel(uid, 100ms).value_or(NAN); }

    AudioObjectID tapOf(AudioObjectID process, CATapMuteBehavior behavior, bool mono = false) {
        return test::tapOf(hw, process, behavior, mono);
    }
    AudioObjectID aggregateOf(AudioObjectID tap, const std::string& subDevice) {
        AudioObjectID aggregate = kAudioObjectUnknown;
        EXPECT_EQ(hw.createAggregateDevice({"Kestrelamp-Tone",
                                            "com.kestrelamp.aggregate.T" + std::to_string(tap),
                                            true,
                                            {subDevice},
                                            {tapUID(hw, tap)},
                                            true},
                                           aggregate),
                  noErr);
        return aggregate;
    }
    AudioDeviceIOProcID startBlock(AudioObjectID device, AudioDeviceIOBlock block) {
        AudioDeviceIOProcID proc = kAudioDeviceIOProcIDNone;
        EXPECT_EQ(hw.createIOProcID(device, std::move(block), proc), noErr);
        EXPECT_EQ(hw.deviceStart(device, proc), noErr);
        return proc;
    }
};

TEST_F(SimulatedRendering, PlaysTheSignalSampleExactOnEveryChannelAcrossCycles) {
    hw.render(3, 100);
    for (std::uint32_t channel = 0; channel < 2; ++channel) {
        const auto samples = hw.playedSamples(speakers, channel, 300);
        ASSERT_TRUE(samples);
        ASSERT_EQ(samples->size(), 300u);
        for (std::uint32_t i = 0; i < 300; ++i) {
            ASSERT_NEAR((*samples)[i], sineAt(i, 1000, 0.5f), 1e-5) << "frame " << i;
        }
    }
    EXPECT_FALSE(hw.playedSamples(speakers, 2, 10)) << "the device has two channels";
    EXPECT_FALSE(hw.playedLevel(0x7FFFFF00, 10));
    EXPECT_EQ(hw.playedLevel(headphones, 300), -120.0f);
}

TEST_F(SimulatedRendering, MixesRunningProcessesAndFollowsTheDefaultOutput) {
    // A tap that does not mute leaves its process playing.
    tapOf(tone, CATapMuteBehavior::unmuted);
    world.letTimePass(100ms);
    EXPECT_NEAR(level("speakers"), -9.03, 0.05);

    hw.setProcessRunning(quiet, true);
    world.letTimePass(100ms);
    EXPECT_NEAR(level("speakers"), -9.03 + 6.02, 0.05) << "two equal tones in phase add up";

    hw.setProcessSignal(quiet, SimulatedSignal::silence());
    hw.setDefaultOutputDevice(headphones);
    world.letTimePass(100ms);
    EXPECT_LT(level("speakers"), -119.0);
    EXPECT_NEAR(level("headphones"), -9.03, 0.05);
}

TEST_F(SimulatedRendering, NoiseIsRepeatableAndUniform) {
    const char* scenario = R"({
        "processes": [ { "bundleID": "org.example.Hiss",
                         "signal": { "type": "noise", "amplitude": 0.5 } } ],
        "devices": [ { "uid": "speakers" } ], "defaultOutput": "speakers" })";
    SimulatedTestWorld first(scenario);
    SimulatedTestWorld second(scenario);
    first.letTimePass(200ms);
    second.letTimePass(200ms);
    const AudioObjectID device = first.hardware().deviceID("speakers");
    EXPECT_EQ(first.hardware().playedSamples(device, 0, 9600),
              second.hardware().playedSamples(second.hardware().deviceID("speakers"), 0, 9600));
    // Uniform in ±0.5: rms = 0.5 / √3.
    EXPECT_NEAR(*first.playedLevel("speakers", 200ms), 20 * std::log10(0.5 / std::sqrt(3.0)), 0.3);
}

TEST_F(SimulatedRendering, AggregateCarriesTheTapThroughStartedBlocksOnly) {
    const AudioObjectID tap = tapOf(tone, CATapMuteBehavior::mutedWhenTapped);
    const AudioObjectID aggregate = aggregateOf(tap, "headphones");
    world.letTimePass(100ms);
    EXPECT_LT(level("headphones"), -119.0) << "no block, no sound";

    Probe probe;
    const AudioDeviceIOProcID proc = startBlock(aggregate, probe.block());
    hw.clearPlayed();
    hw.render(2, 256);
    const auto samples = hw.playedSamples(headphones, 1, 512);
    ASSERT_TRUE(samples);
    ASSERT_EQ(samples->size(), 512u);
    for (std::uint32_t i = 0; i < 512; ++i) {
        ASSERT_NEAR((*samples)[i], sineAt(i + 4800, 1000, 0.5f), 1e-5) << "frame " << i;
    }
    EXPECT_EQ(hw.playedLevel(speakers, 512), -120.0f);

    // Two blocks on one device are mixed.
    Probe second;
    const AudioDeviceIOProcID secondProc = startBlock(aggregate, second.block());
    world.letTimePass(100ms);
    EXPECT_NEAR(level("headphones"), -9.03 + 6.02, 0.05);

    EXPECT_EQ(hw.destroyIOProcID(aggregate, secondProc), noErr);
    EXPECT_EQ(hw.deviceStop(aggregate, proc), noErr);
    world.letTimePass(100ms);
    EXPECT_LT(level("headphones"), -119.0);
}

TEST_F(SimulatedRendering, StereoMixdownFoldsChannelsAndMonoAveragesThem) {
    const AudioObjectID chord =
        hw.addProcess({"org.example.Chord", 12, true, SimulatedSignal::sine(1000, 0.25f, 3)});
    Probe stereo;
    Probe mono;
    startBlock(aggregateOf(tapOf(chord, CATapMuteBehavior::unmuted), "headphones"), stereo.block());
    startBlock(aggregateOf(tapOf(chord, CATapMuteBehavior::unmuted, true), "headphones"),
               mono.block());
    hw.render(1, 4800);

    const double single = 20 * std::log10(0.25 / std::sqrt(2.0));
    ASSERT_EQ(stereo.inputBuffers, 2u);
    EXPECT_NEAR(stereo.inputLevels[0], single + 6.02, 0.05) << "channels 0 and 2 fold into 0";
    EXPECT_NEAR(stereo.inputLevels[1], single, 0.05);
    ASSERT_EQ(mono.inputBuffers, 1u);
    EXPECT_NEAR(mono.inputLevels[0], single, 0.05);

    // Without mixdown the tap keeps the process's own three channels.
    CATapDescription own = CATapDescription::stereoMixdownOfProcesses({chord});
    own.mixdown = false;
    AudioObjectID ownTap = kAudioObjectUnknown;
    ASSERT_EQ(hw.createProcessTap(own, ownTap), noErr);
    Probe whole;
    startBlock(aggregateOf(ownTap, "headphones"), whole.block());
    hw.render(1, 4800);
    ASSERT_EQ(whole.inputBuffers, 3u);
    for (std::uint32_t channel = 0; channel < 3; ++channel) {
        EXPECT_NEAR(whole.inputLevels[channel], single, 0.05) << channel;
    }
}

TEST_F(SimulatedRendering, RemovingAnAggregateOrItsSubDeviceEndsItsBlocks) {
    std::atomic<int> calls{0};
    std::atomic<std::uint32_t> outputBuffers{0};
    const AudioObjectID aggregate =
        aggregateOf(tapOf(tone, CATapMuteBehavior::mutedWhenTapped), "headphones");
    startBlock(aggregate,
               [&](const AudioIOCycle&, const AudioBufferList&, AudioBufferList& output) {
                   ++calls;
                   outputBuffers = output.numberBuffers;
                   for (std::uint32_t b = 0; b < output.numberBuffers; ++b) {
                       std::fill_n(static_cast<float*>(output.buffers[b].data), 64, 0.5f);
                   }
               });
    hw.render(1, 64);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(outputBuffers, 2u) << "one per channel of the stereo tap";
    EXPECT_NEAR(*hw.playedLevel(headphones, 64), 20 * std::log10(0.5), 0.01);

    // A block whose sub-device is gone still runs, with nowhere to play.
    ASSERT_TRUE(hw.removeDevice(headphones));
    hw.render(1, 64);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(hw.playedLevel(speakers, 64), -120.0f);

    ASSERT_EQ(hw.destroyAggregateDevice(aggregate), noErr);
    EXPECT_TRUE(hw.ioProcs().empty());
    hw.render(1, 64);
    EXPECT_EQ(calls, 2);
}

// Passes the tap through, each channel scaled by its gain (1 where none is given).
AudioDeviceIOBlock scaledPassThrough(std::vector<float> gains) {
    return [gains = std::move(gains)](const AudioIOCycle&, const AudioBufferList& input,
                                      AudioBufferList& output) {
        for (std::uint32_t b = 0; b < std::min(input.numberBuffers, output.numberBuffers); ++b) {
            const auto* in = static_cast<const float*>(input.buffers[b].data);
            auto* out = static_cast<float*>(output.buffers[b].data);
            const float gain = b < gains.size() ? gains[b] : 1.0f;
            for (std::uint32_t i = 0; i < input.buffers[b].dataByteSize / 4; ++i) {
                out[i] = gain * in[i];
            }
        }
    };
}

TEST_F(SimulatedRendering, StereoOnSixChannelsLandsOnTheFrontAndKeepsTheLfeNarrow) {
    const AudioObjectID surround =
        hw.addDevice({"surround", std::nullopt, "", 1, 0, 0, 48000.0, 6, {}});
    const AudioObjectID player =
        hw.addProcess({"org.example.Stereo", 20, true, SimulatedSignal::sine(1000, 0.5f, 2), {}});
    hw.setProcessRunning(tone, false);
    const auto levels = [&] {
        hw.clearPlayed();
        hw.render(10, 480);
        std::vector<double> result;
        for (std::uint32_t channel = 0; channel < 6; ++channel) {
            result.push_back(*hw.playedLevel(surround, channel, 2400));
        }
        return result;
    };
    // FL FR FC LFE SL SR, as PipeWire mixes stereo onto it unrouted.
    hw.setDefaultOutputDevice(surround);
    const std::vector<double> unrouted = levels();

    hw.setDefaultOutputDevice(speakers);
    startBlock(aggregateOf(tapOf(player, CATapMuteBehavior::mutedWhenTapped), "surround"),
               scaledPassThrough({}));
    const std::vector<double> routed = levels();
    EXPECT_NEAR(routed[0], -9.03, 0.05);
    EXPECT_NEAR(routed[1], -9.03, 0.05);
    EXPECT_NEAR(routed[2], -12.04, 0.1) << "the centre carries L+R at -9 dB";
    EXPECT_LT(routed[3], -60.0) << "no 1 kHz on the LFE";
    EXPECT_LT(routed[4], -119.0) << "L-R is silent";
    for (std::uint32_t channel = 0; channel < 6; ++channel) {
        EXPECT_NEAR(routed[channel], unrouted[channel], 0.1) << "channel " << channel;
    }
    EXPECT_LT(*hw.playedLevel(speakers, 2400), -119.0);
}

TEST_F(SimulatedRendering, StereoOnAMonoDevicePlaysTheSum) {
    const AudioObjectID mono = hw.addDevice({"mono", std::nullopt, "", 1, 0, 0, 48000.0, 1, {}});
    const AudioObjectID player =
        hw.addProcess({"org.example.Stereo", 20, true, SimulatedSignal::sine(1000, 0.5f, 2), {}});
    hw.setProcessRunning(tone, false);
    hw.setDefaultOutputDevice(mono);
    world.letTimePass(100ms);
    // Both sides at -3 dB: a tone in phase on both is 3 dB above either side.
    EXPECT_NEAR(level("mono"), -9.03 + 3.01, 0.05) << "unrouted";

    hw.setDefaultOutputDevice(speakers);
    const AudioObjectID aggregate =
        aggregateOf(tapOf(player, CATapMuteBehavior::mutedWhenTapped), "mono");
    for (const auto& [gains, expected] : {std::pair{std::vector<float>{1, 0}, -9.03 - 3.01},
                                          std::pair{std::vector<float>{0, 1}, -9.03 - 3.01},
                                          std::pair{std::vector<float>{1, 1}, -9.03 + 3.01}}) {
        const AudioDeviceIOProcID proc = startBlock(aggregate, scaledPassThrough(gains));
        world.letTimePass(100ms);
        EXPECT_NEAR(level("mono"), expected, 0.05) << gains[0] << ", " << gains[1];
        ASSERT_EQ(hw.destroyIOProcID(aggregate, proc), noErr);
    }
}

TEST_F(SimulatedRendering, RecordingKeepsTheNewestFrames) {
    constexpr std::uint32_t capacity = SimulatedAudioHardware::kRecordingCapacityFrames;
    hw.render(1, capacity + 100);
    EXPECT_EQ(hw.framesPlayed(speakers), capacity + 100);
    const auto samples = hw.playedSamples(speakers, 0, capacity * 2);
    ASSERT_TRUE(samples);
    ASSERT_EQ(samples->size(), capacity);
    EXPECT_NEAR(samples->back(), sineAt(capacity + 99, 1000, 0.5f), 1e-5);
    EXPECT_NEAR(samples->front(), sineAt(100, 1000, 0.5f), 1e-5);

    hw.clearPlayed();
    EXPECT_EQ(hw.framesPlayed(speakers), 0u);
    EXPECT_EQ(hw.playedSamples(speakers, 0, 10)->size(), 0u);
    EXPECT_EQ(hw.playedLevel(speakers, 10), -120.0f);
}

} // namespace
} // namespace kestrelamp::hal::test
