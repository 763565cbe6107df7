#include "engine/hal/StreamTargets.h"

#include <gtest/gtest.h>

namespace kestrelamp::hal {
namespace {

constexpr const char* kOurs = "com.kestrelamp.aggregate.tap.1";

bool namesOurs(const std::string& value) {
    return value.starts_with("com.kestrelamp");
}

TEST(StreamTargetsTest, LettingGoPutsBackWhatAnotherProgramHadChosen) {
    StreamTargets targets;
    // Chosen by another program before we held it: that choice is kept beside ours, where a
    // later run finds it, and comes back.
    EXPECT_EQ(targets.hold(7, kOurs, {"speakers", "31"}, &namesOurs),
              (std::vector<MetadataWrite>{{7, kEarlierTargetObjectKey, "speakers"},
                                          {7, kTargetObjectKey, kOurs}}));
    EXPECT_EQ(targets.release(7, {kOurs, "31"}),
              (std::vector<MetadataWrite>{{7, kTargetObjectKey, "speakers"},
                                          {7, kEarlierTargetObjectKey, std::nullopt}}));
    EXPECT_FALSE(targets.holds(7));

    // Only a target.node (as the session manager restores one): ours goes, and writing theirs
    // again has the session manager remember it.
    EXPECT_EQ(targets.hold(8, kOurs, {std::nullopt, "31"}, &namesOurs),
              (std::vector<MetadataWrite>{{8, kTargetObjectKey, kOurs}}));
    EXPECT_EQ(targets.release(8, {kOurs, "31"}),
              (std::vector<MetadataWrite>{{8, kTargetObjectKey, std::nullopt},
                                          {8, kTargetNodeKey, "31"}}));

    // An earlier entry of ours (a run that was killed) is not given back.
    targets.hold(9, kOurs, {"com.kestrelamp.aggregate.tap.0", std::nullopt}, &namesOurs);
    EXPECT_EQ(targets.release(9, {kOurs, std::nullopt}),
              (std::vector<MetadataWrite>{{9, kTargetObjectKey, std::nullopt}}));

    // Holding a stream that already points at ours writes nothing.
    EXPECT_TRUE(targets.hold(10, kOurs, {kOurs, std::nullopt}, &namesOurs).empty());
}

TEST(StreamTargetsTest, AnotherProgramsChoiceReleasesTheStreamAndIsLeftAlone) {
    StreamTargets targets;
    targets.hold(7, kOurs, {}, &namesOurs);
    // Our own write coming back, and a target.node that ours outranks, change nothing.
    EXPECT_EQ(targets.changed(7, kTargetObjectKey, kOurs), StreamTargets::Change::none);
    EXPECT_EQ(targets.changed(7, kTargetNodeKey, "40"), StreamTargets::Change::noted);
    EXPECT_TRUE(targets.holds(7));
    // A removed entry chooses nothing; it is written again.
    EXPECT_EQ(targets.changed(7, kTargetObjectKey, std::nullopt), StreamTargets::Change::removed);
    EXPECT_TRUE(targets.holds(7));

    EXPECT_EQ(targets.changed(7, kTargetObjectKey, "112"), StreamTargets::Change::movedElsewhere);
    EXPECT_FALSE(targets.holds(7));
    EXPECT_TRUE(targets.release(7, {"112", "40"}).empty());
    EXPECT_EQ(targets.changed(7, kTargetObjectKey, "113"), StreamTargets::Change::none);

    // The target.node noted while held is the one put back.
    targets.hold(8, kOurs, {std::nullopt, "31"}, &namesOurs);
    targets.changed(8, kTargetNodeKey, "40");
    EXPECT_EQ(targets.release(8, {kOurs, "40"}).back(), (MetadataWrite{8, kTargetNodeKey, "40"}));

    // Another program's entry in place of ours is theirs: letting go writes nothing of it, and
    // the earlier target kept beside ours goes.
    targets.hold(9, kOurs, {}, &namesOurs);
    EXPECT_TRUE(targets.release(9, {"112", std::nullopt}).empty());
    targets.hold(10, kOurs, {"speakers", std::nullopt}, &namesOurs);
    EXPECT_EQ(targets.release(10, {"112", std::nullopt}),
              (std::vector<MetadataWrite>{{10, kEarlierTargetObjectKey, std::nullopt}}));
}

TEST(StreamTargetsTest, AKilledRunsEntriesGoBackToTheEarlierTargets) {
    const StreamTargets::MetadataEntries left = {
        {{0, "default.audio.sink"}, "{\"name\":\"speakers\"}"},
        // Ours, gone, with another program's target kept beside it.
        {{7, kTargetObjectKey}, "com.kestrelamp.aggregate.tap.0"},
        {{7, kEarlierTargetObjectKey}, "speakers"},
        {{7, kTargetNodeKey}, "31"},
        // Ours, gone, nothing kept.
        {{8, kTargetObjectKey}, "com.kestrelamp.aggregate.tap.0"},
        // Ours and still there (another running owner): left alone.
        {{9, kTargetObjectKey}, "com.kestrelamp.aggregate.tap.live"},
        {{9, kEarlierTargetObjectKey}, "headphones"},
        // Moved by another program after the run was killed: only the kept target goes.
        {{10, kTargetObjectKey}, "112"},
        {{10, kEarlierTargetObjectKey}, "speakers"},
    };
    const auto exists = [](const std::string& value) { return value.ends_with(".live"); };
    EXPECT_EQ(StreamTargets::repairLeftovers(left, &namesOurs, exists),
              (std::vector<MetadataWrite>{{7, kTargetObjectKey, "speakers"},
                                          {7, kEarlierTargetObjectKey, std::nullopt},
                                          {8, kTargetObjectKey, std::nullopt},
                                          {10, kEarlierTargetObjectKey, std::nullopt}}));
}

} // namespace
} // namespace kestrelamp::hal
