#pragma once

// The tests every AudioHardware passes, as a value-parameterized suite over world factories. Link
// the kestrelamp_hal_contract object library and, inside namespace kestrelamp::hal::test (the
// suite's name cannot be qualified), instantiate it once per implementation:
//   KESTRELAMP_INSTANTIATE_AUDIO_HARDWARE_CONTRACT(PipeWire, [] { return makeWorld(); });
// Every test gets a fresh world. Levels are polled with waitUntil (10 s patience), never slept
// for, so a real-time world passes as long as audio reaches the devices.

#include "AudioHardwareContractWorld.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

namespace kestrelamp::hal::test {

struct AudioHardwareContractParam {
    std::string name;
    std::function<std::unique_ptr<AudioHardwareContractWorld>()> makeWorld;

    friend void PrintTo(const AudioHardwareContractParam& param, std::ostream* out) {
        *out << param.name;
    }
};

class AudioHardwareContract : public ::testing::TestWithParam<AudioHardwareContractParam> {
protected:
    void SetUp() override {
        world_ = GetParam().makeWorld();
        ASSERT_TRUE(world_) << "no world";
    }
    void TearDown() override { world_.reset(); }

    AudioHardwareContractWorld& world() { return *world_; }
    AudioHardware& hardware() { return world_->hardware(); }

private:
    std::unique_ptr<AudioHardwareContractWorld> world_;
};

} // namespace kestrelamp::hal::test

#define KESTRELAMP_INSTANTIATE_AUDIO_HARDWARE_CONTRACT(implementation, factory)                    \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        implementation, AudioHardwareContract,                                                     \
        ::testing::Values(                                                                         \
            ::kestrelamp::hal::test::AudioHardwareContractParam{#implementation, factory}),        \
        [](const auto& info) { return info.param.name; })
