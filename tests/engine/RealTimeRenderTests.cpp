// The render cycle runs on its own thread here while the main thread changes what it reads. These
// tests are meant to run under ThreadSanitizer too.

#include "engine/EQProcessor.h"

#include "MockAudioHardware.h"
#include "TestBuffers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <thread>

namespace kestrelamp {
namespace {

using hal::noErr;
using testing::_;
using testing::NiceMock;
using testing::Return;

// Runs every started IO proc on a thread of its own, cycle after cycle, with the same two
// buffer layouts a device would hand it. deviceStop returns once the thread has finished, as the
// interface promises; destroying an IO proc that still runs is a failure.
struct ThreadedDevices {
    struct Proc {
        hal::AudioDeviceIOBlock block;
        std::thread thread;
        std::atomic<bool> running{false};
        std::atomic<std::size_t> cycles{0};

        void stop() {
            running = false;
            if (thread.joinable()) {
                thread.join();
            }
        }
    };

    explicit ThreadedDevices(test::MockAudioHardware& hardware) {
        using hal::AudioDeviceIOProcID;
        using hal::AudioObjectID;
        ON_CALL(hardware, getPropertyFloat64(_, _, _))
            .WillByDefault(Return(hal::kAudioHardwareUnknownPropertyError));
        ON_CALL(hardware, createIOProcID)
            .WillByDefault(
                [this](AudioObjectID, hal::AudioDeviceIOBlock block, AudioDeviceIOProcID& id) {
                    id = ++lastID;
                    procs[id] = std::make_unique<Proc>();
                    procs[id]->block = std::move(block);
                    return noErr;
                });
        ON_CALL(hardware, deviceStart).WillByDefault([this](AudioObjectID, AudioDeviceIOProcID id) {
            Proc& proc = *procs.at(id);
            proc.running = true;
            proc.thread = std::thread([this, &proc] { run(proc); });
            return noErr;
        });
        ON_CALL(hardware, deviceStop).WillByDefault([this](AudioObjectID, AudioDeviceIOProcID id) {
            procs.at(id)->stop();
            return noErr;
        });
        ON_CALL(hardware, destroyIOProcID)
            .WillByDefault([this](AudioObjectID, AudioDeviceIOProcID id) {
                EXPECT_FALSE(procs.at(id)->thread.joinable())
                    << "IO proc " << id << " destroyed while running";
                procs.at(id)->stop();
                procs.erase(id);
                return noErr;
            });
    }

    ~ThreadedDevices() {
        for (auto& [id, proc] : procs) {
            proc->stop();
        }
    }

    // The graph switches rate now and then, as one does between streams.
    void run(Proc& proc) {
        test::TestBuffers stereo(2, 128, 3);
        test::TestBuffers many(9, 64, 4);
        constexpr double kRates[] = {48000.0, 48000.0, 44100.0, 96000.0};
        float largest = 0.0f;
        while (proc.running.load(std::memory_order_relaxed)) {
            const std::size_t cycle = proc.cycles;
            test::TestBuffers& buffers = cycle % 2 ? many : stereo;
            proc.block(hal::AudioIOCycle{kRates[(cycle / 64) % 4]}, buffers.input, buffers.output);
            for (const auto& channel : buffers.out) {
                for (float y : channel) {
                    if (!std::isfinite(y)) {
                        nonFinite = true;
                    }
                    largest = std::max(largest, std::fabs(y));
                }
            }
            largestOutput = std::max(largestOutput.load(), largest);
            ++proc.cycles;
        }
    }

    void waitForCycles(hal::AudioDeviceIOProcID id, std::size_t count) const {
        while (procs.at(id)->cycles < count) {
            std::this_thread::yield();
        }
    }

    std::map<hal::AudioDeviceIOProcID, std::unique_ptr<Proc>> procs;
    hal::AudioDeviceIOProcID lastID = 0;
    std::atomic<bool> nonFinite{false};
    std::atomic<float> largestOutput{0.0f};
};

class RealTimeRender : public testing::Test {
protected:
    NiceMock<test::MockAudioHardware> hardware;
    ThreadedDevices devices{hardware};
    EQProcessor processor{hardware};
};

TEST_F(RealTimeRender, SettingsChangeWhileTheEngineRenders) {
    const std::string key = "org.example.Player|speakers";
    ASSERT_TRUE(processor.startProcessing(key, 1));
    std::size_t levels = 0;
    processor.engine(key)->levelHandler = [&](float level) {
        EXPECT_TRUE(std::isfinite(level));
        ++levels;
    };
    const hal::AudioDeviceIOProcID id = *processor.engine(key)->ioProcID;
    for (int round = 0; round < 400; ++round) {
        EngineState& engine = *processor.engine(key);
        processor.setBand(key, round % 10, float(round % 49) - 24.0f);
        if (round % 50 == 0) {
            processor.applyPreset(EQPreset::allPresets()[std::size_t(round / 50) % 6], key);
        }
        engine.volume = float(round % 5);
        engine.isMuted = round % 7 == 0;
        processor.deliverLevels();
        devices.waitForCycles(id, std::size_t(round));
    }
    processor.stopProcessing(key);
    EXPECT_EQ(devices.procs.size(), 0u);
    EXPECT_FALSE(devices.nonFinite);
    EXPECT_GT(levels, 0u);
}

TEST_F(RealTimeRender, RoutesRestartAndStopWhileRendering) {
    for (int round = 0; round < 40; ++round) {
        const std::string key = "org.example.App" + std::to_string(round % 3) + "|speakers";
        ASSERT_TRUE(processor.startProcessing(key, hal::AudioObjectID(1 + round % 5)));
        processor.applyPreset(EQPreset::gaming(), key);
        processor.engine(key)->levelHandler = [](float) {};
        devices.waitForCycles(*processor.engine(key)->ioProcID, 3);
        processor.deliverLevels();
        if (round % 4 == 3) {
            processor.stopProcessing(key);
        }
    }
    processor.stopAll();
    EXPECT_EQ(devices.procs.size(), 0u);
}

// Every curve the writer can make, faded into from any other, is a stable cascade. With input
// within ±0.9 and the volume at 1 even ten bands at +24 dB (whose impulse response sums to about
// 420 in magnitude) stay far below the bound; an unstable section grows past it within a cycle.
TEST_F(RealTimeRender, PresetsChangingAsFastAsPossibleKeepEveryFilterStable) {
    const std::string key = "org.example.Player|speakers";
    ASSERT_TRUE(processor.startProcessing(key, 1));
    const hal::AudioDeviceIOProcID id = *processor.engine(key)->ioProcID;
    std::mt19937 random(5);
    std::uniform_int_distribution<std::size_t> preset(0, EQPreset::allPresets().size() - 1);
    std::uniform_int_distribution<int> band(0, int(kEQBandCount) - 1);
    std::uniform_real_distribution<float> gain(-24.0f, 24.0f);
    std::size_t writes = 0;
    while (devices.procs.at(id)->cycles < 4000) {
        processor.applyPreset(EQPreset::allPresets()[preset(random)], key);
        for (int b = 0; b < 3; ++b) {
            processor.setBand(key, band(random), gain(random));
        }
        ++writes;
    }
    processor.stopProcessing(key);
    EXPECT_GT(writes, 100u);
    EXPECT_FALSE(devices.nonFinite);
    EXPECT_LT(devices.largestOutput, 1000.0f);
}

TEST(RealTimeLatestValue, TheReaderOnlyEverSeesWholeValuesNewestLast) {
    LatestValue<BandGains> mailbox;
    constexpr int kValues = 200000;
    std::thread writer([&] {
        for (int i = 1; i <= kValues; ++i) {
            BandGains value;
            value.fill(float(i));
            mailbox.publish(value);
        }
    });
    float last = 0.0f;
    bool whole = true;
    bool newer = true;
    while (last < float(kValues)) {
        if (const BandGains* value = mailbox.takeNewest()) {
            whole = whole && std::all_of(value->begin(), value->end(),
                                         [&](float v) { return v == value->front(); });
            newer = newer && value->front() > last;
            last = value->front();
        }
    }
    writer.join();
    EXPECT_TRUE(whole);
    EXPECT_TRUE(newer);
    EXPECT_EQ(mailbox.takeNewest(), nullptr);
}

TEST(RealTimeLevelQueue, LevelsCrossThreadsInOrderAndTheNewestArrives) {
    LevelQueue queue;
    constexpr int kLevels = 200000;
    std::thread producer([&] {
        for (int i = 0; i < kLevels; ++i) {
            queue.push(float(i));
        }
    });
    float last = -1.0f;
    bool ordered = true;
    while (last < float(kLevels - 1)) {
        queue.drain([&](float level) {
            ordered = ordered && level > last;
            last = level;
        });
    }
    producer.join();
    EXPECT_TRUE(ordered);
}

} // namespace
} // namespace kestrelamp
