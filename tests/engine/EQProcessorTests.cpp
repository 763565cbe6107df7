#include "engine/EQProcessor.h"

#include "MockAudioHardware.h"
#include "TempHome.h"
#include "TestBuffers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestrelamp {
namespace {

using hal::noErr;
using testing::_;
using testing::AnyNumber;
using testing::DoAll;
using testing::NiceMock;
using testing::Return;
using testing::SetArgReferee;

constexpr hal::OSStatus kRefused = hal::kAudioHardwareIllegalOperationError;
const std::string kKey = "org.example.Player|speakers";
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

MATCHER(IsNominalSampleRate, "") {
    return arg == hal::globalAddress(hal::kAudioDevicePropertyNominalSampleRate);
}

class EQProcessorTest : public testing::Test {
protected:
    EQProcessorTest() {
        ON_CALL(hardware, getPropertyFloat64(_, IsNominalSampleRate(), _))
            .WillByDefault(DoAll(SetArgReferee<2>(44100.0), Return(noErr)));
        ON_CALL(hardware, createIOProcID)
            .WillByDefault([this](hal::AudioObjectID, hal::AudioDeviceIOBlock block,
                                  hal::AudioDeviceIOProcID& id) {
                blocks.push_back(std::move(block));
                id = 100 + blocks.size();
                return noErr;
            });
        ON_CALL(hardware, deviceStart).WillByDefault(Return(noErr));
        ON_CALL(hardware, deviceStop).WillByDefault(Return(noErr));
        ON_CALL(hardware, destroyIOProcID).WillByDefault(Return(noErr));
        // Calls a test does not single out are allowed, also after it set expectations.
        EXPECT_CALL(hardware, deviceStop).Times(AnyNumber());
        EXPECT_CALL(hardware, destroyIOProcID).Times(AnyNumber());
        EXPECT_CALL(hardware, createIOProcID).Times(AnyNumber());
        EXPECT_CALL(hardware, deviceStart).Times(AnyNumber());
    }

    // Runs the first IO proc for one cycle.
    void run(hal::AudioIOCycle cycle = {}) {
        test::TestBuffers buffers(2, 16);
        blocks.at(0)(cycle, buffers.input, buffers.output);
    }
    NiceMock<test::MockAudioHardware> hardware;
    std::vector<hal::AudioDeviceIOBlock> blocks;
    EQProcessor processor{hardware};
    std::vector<float> levels;
};

TEST_F(EQProcessorTest, AnUnreadableOrZeroRateFallsBackTo48k) {
    EXPECT_CALL(hardware, getPropertyFloat64(1, _, _)).WillOnce(Return(kRefused));
    EXPECT_CALL(hardware, getPropertyFloat64(2, _, _))
        .WillOnce(DoAll(SetArgReferee<2>(0.0), Return(noErr)));
    ASSERT_TRUE(processor.startProcessing("a|1", 1));
    ASSERT_TRUE(processor.startProcessing("a|2", 2));
    EXPECT_EQ(processor.engine("a|1")->sampleRate, 48000.0f);
    EXPECT_EQ(processor.engine("a|2")->sampleRate, 48000.0f);
}

TEST_F(EQProcessorTest, AFailedIOProcCreationLeavesNoEngine) {
    EXPECT_CALL(hardware, createIOProcID(1, _, _)).WillOnce(Return(kRefused));
    EXPECT_CALL(hardware, createIOProcID(2, _, _)).WillOnce(Return(noErr));
    EXPECT_CALL(hardware, deviceStart(1, _)).Times(0);
    EXPECT_CALL(hardware, deviceStart(2, _)).Times(0);

    const auto created = processor.startProcessing(kKey, 1);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error(), EQProcessorError::configurationFailed("create IO proc", kRefused));
    // Success without an id is no IO proc either.
    const auto noID = processor.startProcessing(kKey, 2);
    ASSERT_FALSE(noID);
    EXPECT_EQ(noID.error().stage, "create IO proc");
    EXPECT_TRUE(processor.engines().empty());
}

TEST_F(EQProcessorTest, SetBandClampsAndIgnoresBandsOutOfRange) {
    ASSERT_TRUE(processor.startProcessing(kKey, 1));
    EngineState& engine = *processor.engine(kKey);
    const std::pair<int, float> kWrites[] = {{0, 30.0f}, {9, -30.0f}, {4, 2.0f},
                                             {10, 5.0f}, {-1, 5.0f},  {4, kNaN}};
    for (const auto& [band, gain] : kWrites) {
        processor.setBand(kKey, band, gain);
    }
    processor.setBand("unknown|key", 0, 5.0f);
    EXPECT_EQ(engine.eqBands,
              (std::array<float, kEQBandCount>{24.0f, 0, 0, 0, 2.0f, 0, 0, 0, 0, -24.0f}));
    EXPECT_TRUE(engine.eqEnabled);
    // The IO proc filters with those gains at the rate its cycle runs at.
    run(hal::AudioIOCycle{44100.0});
    const BiquadSet& set = engine.render.eq.set();
    EXPECT_EQ(set[0], peakingCoefficients(24.0f, 32.0f, 44100.0f));
    EXPECT_EQ(set[9], peakingCoefficients(-24.0f, 16384.0f, 44100.0f));
    EXPECT_EQ(set[1], BiquadCoefficients::identity());
}

TEST_F(EQProcessorTest, PresetsCopyTheBandsTheyHave) {
    ASSERT_TRUE(processor.startProcessing(kKey, 1));
    EngineState& engine = *processor.engine(kKey);
    EQPreset shortPreset{QUuid::createUuid(), "Short", {1.0f, 2.0f}};
    processor.applyPreset(EQPreset::bassBoost(), kKey);
    processor.applyPreset(shortPreset, kKey);
    EXPECT_TRUE(engine.eqEnabled);
    EXPECT_EQ(engine.eqBands, (std::array<float, kEQBandCount>{1, 2, 4, 2, 0, 0, 0, 0, 0, 0}));
    EQPreset longPreset{QUuid::createUuid(), "Long", std::vector<float>(12, -1.0f)};
    processor.applyPreset(longPreset, kKey);
    EXPECT_EQ(engine.eqBands[9], -1.0f);

    EQPreset barely{QUuid::createUuid(), "Barely", std::vector<float>(10, 0.05f)};
    barely.bands[3] = -0.05f;
    processor.applyPreset(barely, kKey);
    EXPECT_FALSE(engine.eqEnabled);
    processor.applyPreset(EQPreset::vocal(), kKey);
    processor.applyPreset(EQPreset::flat(), kKey);
    EXPECT_FALSE(engine.eqEnabled);
    run();
    EXPECT_EQ(engine.render.eq.set(), BiquadSet{});
    processor.applyPreset(EQPreset::vocal(), "unknown|key");
}

// A route nothing plays into is not run: its meter must not stay at the last level it showed.
TEST_F(EQProcessorTest, AnEngineThatStopsBeingRunReportsSilenceOnce) {
    ASSERT_TRUE(processor.startProcessing(kKey, 1));
    processor.engine(kKey)->levelHandler = [&](float level) { levels.push_back(level); };
    run();
    processor.deliverLevels();
    ASSERT_EQ(levels.size(), 1u);
    for (int tick = 0; tick < 3 * EQProcessor::kQuietDeliveriesBeforeSilence; ++tick) {
        processor.deliverLevels();
    }
    EXPECT_EQ(levels, (std::vector<float>{levels.front(), kSilentLevel}));
    // Running again, it reports again, and falls silent again when it stops.
    run();
    for (int tick = 0; tick < 3 * EQProcessor::kQuietDeliveriesBeforeSilence; ++tick) {
        processor.deliverLevels();
    }
    EXPECT_EQ(levels.size(), 4u);
    EXPECT_EQ(levels.back(), kSilentLevel);
}

// Levels measured while nobody looked are stale once someone does: the first shown is a new one.
TEST_F(EQProcessorTest, LevelsMeasuredWhileUnwantedAreDropped) {
    ASSERT_TRUE(processor.startProcessing(kKey, 1));
    processor.engine(kKey)->levelHandler = [&](float level) { levels.push_back(level); };
    processor.setLevelsWanted(false);
    run();
    processor.setLevelsWanted(true);
    processor.deliverLevels();
    EXPECT_TRUE(levels.empty());
    run();
    processor.deliverLevels();
    EXPECT_EQ(levels.size(), 1u);
}

// Stopping from inside the level handler must not run into the engine it just freed.
TEST_F(EQProcessorTest, AHandlerMayStopItsOwnEngine) {
    ASSERT_TRUE(processor.startProcessing(kKey, 1));
    int calls = 0;
    processor.engine(kKey)->levelHandler = [&](float) {
        ++calls;
        processor.stopProcessing(kKey);
    };
    run();
    run();
    processor.deliverLevels();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(processor.engines().empty());
}

} // namespace
} // namespace kestrelamp
