#pragma once

#include "LevelMeter.h"
#include "PipeWireSession.h"

#include <gtest/gtest.h>

namespace kestrelamp::e2e {

// The tests of a suite share one private server; a test that took it away has it started again
// for the next one.
class SessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { session_ = new PipeWireSession; }
    static void TearDownTestSuite() {
        delete session_;
        session_ = nullptr;
    }

    void SetUp() override {
        if (!session_->isRunning()) {
            ASSERT_TRUE(session_->start()) << session_->error();
        }
    }

    // Tone A playing unrouted on the default sink; the level it has there once settled.
    static double startToneA(std::unique_ptr<ChildProcess>& player, LevelMeter& meter,
                             int timeoutMs = 5000) {
        player = session_->startPlayer(kToneA, "Tone A");
        return audibleLevel(meter, timeoutMs);
    }

    static inline PipeWireSession* session_ = nullptr;
};

} // namespace kestrelamp::e2e
