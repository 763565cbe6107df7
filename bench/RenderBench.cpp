// Cost of one render cycle, against the plain scalar cascade run buffer after buffer; of one
// device callback running many routes; and the main-thread cost of handing the levels of many
// engines to their handlers (paid only while someone shows or asks for levels).

#include "engine/EQProcessor.h"
#include "engine/RenderCycle.h"
#include "engine/hal/ChannelMix.h"

#include "BenchmarkRun.h"
#include "TestBuffers.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace kestrelamp {
namespace {

// Every band away from flat, so no section is skipped.
constexpr BandGains kActiveBands = {3.0f, -2.0f, 1.5f, -1.0f, 2.0f, -3.0f, 1.0f, 2.5f, -1.5f, 4.0f};

void prepare(EngineState& engine, bool eq) {
    engine.volume = 0.8f;
    if (eq) {
        engine.eqBands = kActiveBands;
    }
    EQProcessor::updateFilters(engine);
}

void BM_RenderCycle(benchmark::State& state) {
    const auto frames = std::size_t(state.range(0));
    const auto channels = std::size_t(state.range(1));
    EngineState engine(1, 48000.0f);
    prepare(engine, state.range(2) != 0);
    test::TestBuffers buffers(channels, frames, 7, 0.5f);
    for (auto _ : state) {
        renderCycle(engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
        benchmark::DoNotOptimize(buffers.out.front().data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(std::int64_t(frames * channels) * state.iterations());
}

// The straightforward render: each buffer through its bank one sample at a time with the set for
// 48 kHz, or only gain and sum of squares while every band is flat.
void BM_ScalarCascadeBaseline(benchmark::State& state) {
    const auto frames = std::size_t(state.range(0));
    const auto channels = std::size_t(state.range(1));
    const bool eq = state.range(2) != 0;
    EngineState engine(1, 48000.0f);
    prepare(engine, eq);
    const BiquadSet set = peakingSet(engine.eqBands, engine.sampleRate);
    test::TestBuffers buffers(channels, frames, 7, 0.5f);
    const float gain = engine.volume;
    for (auto _ : state) {
        float sumSquares = 0.0f;
        for (std::size_t c = 0; c < channels; ++c) {
            const float* in = buffers.in[c].data();
            float* out = buffers.out[c].data();
            if (eq) {
                BiquadBank& bank = engine.filters[std::min(c, kEQChannelBanks - 1)];
                sumSquares += processCascade(set, bank, in, out, frames, gain);
            } else {
                for (std::size_t i = 0; i < frames; ++i) {
                    out[i] = gain * in[i];
                    sumSquares += out[i] * out[i];
                }
            }
        }
        benchmark::DoNotOptimize(sumSquares);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(std::int64_t(frames * channels) * state.iterations());
}

void renderArguments(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"frames", "channels", "eq"});
    for (const auto& args : std::vector<std::vector<std::int64_t>>{
             {512, 2, 1}, {512, 2, 0}, {128, 2, 1}, {1024, 8, 1}, {512, 1, 1}, {512, 4, 1}}) {
        benchmark->Args(args);
    }
}

BENCHMARK(BM_RenderCycle)->Apply(renderArguments);
BENCHMARK(BM_ScalarCascadeBaseline)->Apply(renderArguments);

// The slower path: every cycle starts a new volume ramp and a new fade between two curves, so
// no cycle runs on the constant kernels. Stereo, 512 frames.
void BM_RenderCycleInTransition(benchmark::State& state) {
    EngineState engine(1, 48000.0f);
    prepare(engine, true);
    BandGains other = kActiveBands;
    std::reverse(other.begin(), other.end());
    test::TestBuffers buffers(2, 512, 7, 0.5f);
    bool flip = false;
    for (auto _ : state) {
        flip = !flip;
        engine.volume = flip ? 0.6f : 0.8f;
        engine.eqBands = flip ? other : kActiveBands;
        EQProcessor::updateFilters(engine);
        renderCycle(engine, hal::AudioIOCycle{}, buffers.input, buffers.output);
        benchmark::DoNotOptimize(buffers.out.front().data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(std::int64_t(2 * 512) * state.iterations());
}

BENCHMARK(BM_RenderCycleInTransition);

// What one device's callback does per cycle: every route to the device, one after another, each
// stereo with its own equalizer, summed into the device's one set of outputs, 1024 frames. Per
// route it should cost what one route alone does.
void BM_OneCallbackServesRoutes(benchmark::State& state) {
    const auto routes = std::size_t(state.range(0));
    constexpr std::size_t kFrames = 1024;
    const hal::ChannelLayout stereo{hal::ChannelPosition::FL, hal::ChannelPosition::FR};
    std::vector<std::unique_ptr<EngineState>> engines;
    std::vector<std::unique_ptr<test::TestBuffers>> buffers;
    std::vector<std::unique_ptr<hal::ChannelMixer>> mixers;
    for (std::size_t r = 0; r < routes; ++r) {
        engines.push_back(std::make_unique<EngineState>(hal::AudioObjectID(r + 1), 48000.0f));
        prepare(*engines.back(), true);
        buffers.push_back(std::make_unique<test::TestBuffers>(2, kFrames, 7 + r, 0.5f));
        mixers.push_back(
            std::make_unique<hal::ChannelMixer>(hal::ChannelMatrix::between(stereo, stereo)));
    }
    std::vector<std::vector<float>> device(2, std::vector<float>(kFrames));
    float* const deviceOutputs[] = {device[0].data(), device[1].data()};
    for (auto _ : state) {
        for (std::size_t r = 0; r < routes; ++r) {
            renderCycle(*engines[r], hal::AudioIOCycle{}, buffers[r]->input, buffers[r]->output);
            const float* const rendered[] = {buffers[r]->out[0].data(), buffers[r]->out[1].data()};
            if (r == 0) {
                mixers[r]->mix(rendered, deviceOutputs, kFrames);
            } else {
                mixers[r]->mixInto(rendered, deviceOutputs, kFrames);
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(std::int64_t(routes * kFrames * 2) * state.iterations());
    state.counters["routes"] = double(routes);
}

BENCHMARK(BM_OneCallbackServesRoutes)->ArgName("routes")->Arg(1)->Arg(8)->Arg(32);

// Accepts every call; IO procs are never run.
class IdleAudioHardware : public hal::AudioHardware {
public:
    hal::OSStatus getPropertyDataSize(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                      std::uint32_t&) override {
        return hal::kAudioHardwareUnknownPropertyError;
    }
    hal::OSStatus getPropertyUInt32(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                    std::uint32_t&) override {
        return hal::kAudioHardwareUnknownPropertyError;
    }
    hal::OSStatus getPropertyInt32(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                   std::int32_t&) override {
        return hal::kAudioHardwareUnknownPropertyError;
    }
    hal::OSStatus getPropertyFloat64(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                     double& value) override {
        value = 48000.0;
        return hal::noErr;
    }
    hal::OSStatus getPropertyString(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                    std::string&) override {
        return hal::kAudioHardwareUnknownPropertyError;
    }
    hal::OSStatus getPropertyObjectIDs(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                       std::vector<hal::AudioObjectID>&) override {
        return hal::kAudioHardwareUnknownPropertyError;
    }
    hal::OSStatus setPropertyUInt32(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                    std::uint32_t) override {
        return hal::kAudioHardwareUnknownPropertyError;
    }
    hal::OSStatus addPropertyListener(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                      hal::AudioObjectPropertyListenerProc, void*) override {
        return hal::noErr;
    }
    hal::OSStatus removePropertyListener(hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                                         hal::AudioObjectPropertyListenerProc, void*) override {
        return hal::noErr;
    }
    hal::OSStatus createProcessTap(const hal::CATapDescription&, hal::AudioObjectID&) override {
        return hal::kAudioHardwareUnsupportedOperationError;
    }
    hal::OSStatus destroyProcessTap(hal::AudioObjectID) override { return hal::noErr; }
    hal::OSStatus createAggregateDevice(const hal::AggregateDeviceDescription&,
                                        hal::AudioObjectID&) override {
        return hal::kAudioHardwareUnsupportedOperationError;
    }
    hal::OSStatus destroyAggregateDevice(hal::AudioObjectID) override { return hal::noErr; }
    hal::OSStatus createIOProcID(hal::AudioObjectID, hal::AudioDeviceIOBlock,
                                 hal::AudioDeviceIOProcID& id) override {
        id = ++lastIOProcID_;
        return hal::noErr;
    }
    hal::OSStatus deviceStart(hal::AudioObjectID, hal::AudioDeviceIOProcID) override {
        return hal::noErr;
    }
    hal::OSStatus deviceStop(hal::AudioObjectID, hal::AudioDeviceIOProcID) override {
        return hal::noErr;
    }
    hal::OSStatus destroyIOProcID(hal::AudioObjectID, hal::AudioDeviceIOProcID) override {
        return hal::noErr;
    }

private:
    hal::AudioDeviceIOProcID lastIOProcID_ = 0;
};

// One delivery tick with 32 routes playing: about six cycles per route since the last tick at
// 128 frames and 48 kHz.
void BM_DeliverLevels32Engines(benchmark::State& state) {
    constexpr int kEngines = 32;
    constexpr int kCyclesPerTick = 6;
    IdleAudioHardware hardware;
    EQProcessor processor(hardware);
    double received = 0;
    for (int e = 0; e < kEngines; ++e) {
        const std::string key = "org.example.App" + std::to_string(e) + "|speakers";
        if (!processor.startProcessing(key, hal::AudioObjectID(100 + e))) {
            state.SkipWithError("engine did not start");
            return;
        }
        processor.engine(key)->levelHandler = [&received, e](float level) {
            received += level + float(e);
        };
    }
    for (auto _ : state) {
        for (const auto& [key, engine] : processor.engines()) {
            for (int c = 0; c < kCyclesPerTick; ++c) {
                engine->levels.push(-20.0f - float(c));
            }
        }
        processor.deliverLevels();
    }
    benchmark::DoNotOptimize(received);
    state.SetItemsProcessed(std::int64_t(kEngines * kCyclesPerTick) * state.iterations());
}

BENCHMARK(BM_DeliverLevels32Engines);

} // namespace
} // namespace kestrelamp

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return kestrelamp::bench::runBenchmarks(argc, argv);
}
