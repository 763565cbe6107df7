#include "engine/hal/PipeWireProperties.h"

#include "engine/hal/AudioHardware.h"

#include <gtest/gtest.h>

namespace kestrelamp::hal {
namespace {

TEST(PipeWireProperties, DefaultNodeValuesRoundTripAndBadOnesAreNothing) {
    EXPECT_EQ(defaultNodeName(R"({"name":"alsa_output.pci-0000"})"), "alsa_output.pci-0000");
    EXPECT_EQ(defaultNodeName(defaultNodeValue("odd \"name\" \\ here")), "odd \"name\" \\ here");
    EXPECT_EQ(defaultNodeName(R"({ "name" : "spaced" })"), "spaced");
    for (const char* bad : {"", "not json", "[\"name\"]", R"({"name":""})", R"({"name":3})",
                            R"({"other":"x"})", "{\"name\":"}) {
        EXPECT_FALSE(defaultNodeName(bad)) << bad;
    }
}

TEST(PipeWireProperties, IntegerPropertiesArePositiveWholeNumbers) {
    const PropertyMap map{{"good", "4242"},  {"zero", "0"}, {"negative", "-3"},
                          {"suffix", "12x"}, {"empty", ""}, {"huge", "99999999999999999999"}};
    EXPECT_EQ(integerProperty(map, "good"), 4242);
    for (const char* key : {"zero", "negative", "suffix", "empty", "huge", "absent"}) {
        EXPECT_FALSE(integerProperty(map, key)) << key;
    }
    EXPECT_TRUE(isTruthy(std::string("true")));
    EXPECT_TRUE(isTruthy(std::string("1")));
    EXPECT_FALSE(isTruthy(std::string("yes")));
    EXPECT_FALSE(isTruthy(std::nullopt));
}

} // namespace
} // namespace kestrelamp::hal
