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
    // Chosen by another program before we held it: that choice comes back.
    EXPECT_EQ(targets.hold(7, kOurs, {"speakers", "31"}, &namesOurs),
              (MetadataWrite{7, kTargetObjectKey, kOurs}));
    EXPECT_EQ(targets.release(7, {kOurs, "31"}),
              (std::vector<MetadataWrite>{{7, kTargetObjectKey, "speakers"}}));
    EXPECT_FALSE(targets.holds(7));

    // Only a target.node (as the session manager restores one): ours goes, and writing theirs
    // again has the session manager remember it.
    targets.hold(8, kOurs, {std::nullopt, "31"}, &namesOurs);
    EXPECT_EQ(targets.release(8, {kOurs, "31"}),
              (std::vector<MetadataWrite>{{8, kTargetObjectKey, std::nullopt},
                                          {8, kTargetNodeKey, "31"}}));

    // An earlier entry of ours (a run that was killed) is not given back.
    targets.hold(9, kOurs, {"com.kestrelamp.aggregate.tap.0", std::nullopt}, &namesOurs);
    EXPECT_EQ(targets.release(9, {kOurs, std::nullopt}),
              (std::vector<MetadataWrite>{{9, kTargetObjectKey, std::nullopt}}));

    // Holding a stream that already points at ours writes nothing.
    EXPECT_FALSE(targets.hold(10, kOurs, {kOurs, std::nullopt}, &namesOurs));
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

    // Another program's entry in place of ours is theirs: letting go writes nothing.
    targets.hold(9, kOurs, {}, &namesOurs);
    EXPECT_TRUE(targets.release(9, {"112", std::nullopt}).empty());
}

} // namespace
} // namespace kestrelamp::hal
