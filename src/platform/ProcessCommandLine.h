#pragma once

// What /proc tells of another process: read when a host's programs must be told apart.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

// Command lines beyond this are cut: the program comes early on any real one.
inline constexpr std::size_t kCommandLineMaxBytes = 64 * 1024;

// Its arguments, argv[0] first, as valid UTF-8; empty when the process is gone or unreadable.
std::vector<std::string> processCommandLine(std::int64_t pid);

// The process that started it; nothing when it is gone or unreadable.
std::optional<std::int64_t> parentProcessID(std::int64_t pid);

// The program the host process runs: its command line's, else its parent's when the parent runs
// under the same host (see programOfHelper). Empty when neither tells.
std::string hostedProgramOfProcess(std::int64_t pid, std::string_view host);

} // namespace kestrelamp
