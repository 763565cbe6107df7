#pragma once

#include "ProgramHarness.h"
#include "SessionTest.h"

#include <gtest/gtest.h>

#include <memory>

namespace kestrelamp::e2e {

// The suite's private server, and in each test the program on a private bus of its own.
class ProgramSessionTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_FALSE(bus_.address().isEmpty()) << "dbus-daemon did not start";
        program_ = std::make_unique<test::ProgramHarness>(bus_.address());
    }

    void TearDown() override { program_.reset(); }

    // The level monitors that the last status asked for go a few seconds after it.
    bool leavesNothingOfOurs() const {
        const bool clean =
            pollUntil([&] { return kestrelampObjects(session_->dump()).empty(); }, 10000);
        if (!clean) {
            ADD_FAILURE() << ::testing::PrintToString(kestrelampObjects(session_->dump()));
        }
        return clean;
    }

    test::PrivateBus bus_;
    std::unique_ptr<test::ProgramHarness> program_;
};

} // namespace kestrelamp::e2e
