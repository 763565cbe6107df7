#include "platform/FailureReport.h"

#include <cstdio>

namespace kestrelamp {

void reportFailure(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace kestrelamp
