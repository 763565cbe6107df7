#pragma once

#include <string>

namespace kestrelamp {

// One line on the standard output, flushed at once: how failures reach the user's terminal and
// the logs.
void reportFailure(const std::string& line);

} // namespace kestrelamp
