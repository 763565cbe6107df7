#include "engine/hal/JackConnections.h"

#include <gtest/gtest.h>

namespace kestrelamp::hal {
namespace {

TEST(JackConnections, SetAsideOnceAndGivenBackOnceByNode) {
    JackConnections connections;
    connections.hold(7);
    const PortConnection left{"out_1", "alsa_output.pci", "playback_FL"};
    EXPECT_TRUE(connections.setAside(7, left));
    EXPECT_FALSE(connections.setAside(7, left));
    EXPECT_TRUE(connections.setAside(7, {"out_2", "alsa_output.pci", "playback_FR"}));
    connections.hold(8);
    EXPECT_EQ(connections.nodes(), (std::vector<std::uint32_t>{7, 8}));

    EXPECT_EQ(connections.release(7).size(), 2u);
    EXPECT_FALSE(connections.holds(7));
    EXPECT_TRUE(connections.release(7).empty());
    EXPECT_TRUE(connections.release(8).empty());
}

TEST(JackConnections, RecordsRoundTripAndOthersReadAsNone) {
    const std::vector<PortConnection> record{{"out_1", "sink \"a\"", "playback_FL"},
                                             {"out_2", "Ünïcode", "playback_FR"}};
    EXPECT_EQ(JackConnections::decode(JackConnections::encode(record)), record);
    EXPECT_TRUE(JackConnections::decode(JackConnections::encode({})).empty());
    for (const char* value : {"", "not json", "{}", "[[1,2,3]]", "[\"a\"]", R"([["a","b"]])"}) {
        EXPECT_TRUE(JackConnections::decode(value).empty()) << value;
    }
    // A broken entry does not cost the good ones beside it.
    EXPECT_EQ(JackConnections::decode(R"([["a","",""],["out_1","n","p"]])"),
              (std::vector<PortConnection>{{"out_1", "n", "p"}}));
}

} // namespace
} // namespace kestrelamp::hal
