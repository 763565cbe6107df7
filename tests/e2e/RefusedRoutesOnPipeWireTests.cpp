// The program on a private server set up without the factory that makes links: the server
// refuses every link a route needs, and the route says so in the server's words in what
// `kestrelamp ctl` answers, in its status and in the program's log.

#include "support/PipeWireSession.h"
#include "support/ProgramSessionTest.h"

#include <gtest/gtest.h>

namespace kestrelamp::e2e {
namespace {

constexpr const char* kServerWords = "unknown factory name link-factory";

class RefusedRoutesOnPipeWire : public ProgramSessionTest {
protected:
    static void SetUpTestSuite() {
        session_ = new PipeWireSession({"libpipewire-module-link-factory"});
    }
};

TEST_F(RefusedRoutesOnPipeWire, ARefusedRouteNamesTheServersReason) {
    // Nothing links it anywhere, but its stream is there to be routed.
    const auto player = session_->startPlayer(kToneA, "Tone A");
    ASSERT_NO_FATAL_FAILURE(startKestrelamp());
    ASSERT_TRUE(listed(kToneA));

    const std::string reason =
        "Failed to create aggregate device: the sound server refused a link: " +
        std::string(kServerWords) + " (No such file or directory)";
    const std::string line = "Route for " + std::string(kToneA) + "|" + kSinkB + ": " + reason;
    const test::RunResult routed = ctl({"route", kToneA, kSinkB}, 1);
    EXPECT_NE(routed.err.find(line), std::string::npos) << routed.err;
    EXPECT_EQ(routeStates(kToneA), (RouteStates{{kSinkB, "failed: " + reason}}));

    const std::string output = program_->instanceOutput().toStdString();
    EXPECT_NE(output.find(line), std::string::npos) << output;
    // The log names the refused object, the server's result and its message.
    EXPECT_NE(output.find("Sound server error on link of com.kestrelamp.aggregate."),
              std::string::npos)
        << output;
    EXPECT_NE(output.find(std::string("res -2 (No such file or directory): ") + kServerWords),
              std::string::npos)
        << output;

    quitKestrelamp();
    EXPECT_TRUE(leavesNothingOfOurs());
}

} // namespace
} // namespace kestrelamp::e2e
