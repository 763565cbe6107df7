#pragma once

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

    static inline PipeWireSession* session_ = nullptr;
};

} // namespace kestrelamp::e2e
