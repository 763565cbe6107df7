#pragma once

#include <benchmark/benchmark.h>

namespace kestrelamp::bench {

// Runs the benchmarks the command line selects, once the caller has made its Qt application.
inline int runBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace kestrelamp::bench
