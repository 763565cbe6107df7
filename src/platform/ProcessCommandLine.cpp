#include "platform/ProcessCommandLine.h"

#include "platform/ApplicationIdentity.h"
#include "platform/Utf8.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace kestrelamp {

namespace {

// The file's first maxBytes; empty when it cannot be opened.
std::string readProcFile(std::int64_t pid, const char* name, std::size_t maxBytes) {
    if (pid <= 0) {
        return {};
    }
    const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string contents(maxBytes, '\0');
    std::size_t size = 0;
    while (size < maxBytes) {
        const ssize_t read = ::read(fd, contents.data() + size, maxBytes - size);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read <= 0) {
            break;
        }
        size += std::size_t(read);
    }
    ::close(fd);
    contents.resize(size);
    return contents;
}

} // namespace

std::vector<std::string> processCommandLine(std::int64_t pid) {
    const std::string contents = readProcFile(pid, "cmdline", kCommandLineMaxBytes);
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < contents.size()) {
        auto end = contents.find('\0', start);
        if (end == std::string::npos) {
            end = contents.size();
        }
        arguments.push_back(validUtf8(std::string_view(contents).substr(start, end - start)));
        start = end + 1;
    }
    return arguments;
}

std::optional<std::int64_t> parentProcessID(std::int64_t pid) {
    // "PID (COMMAND) STATE PPID …"; the command may hold spaces and parentheses.
    const std::string stat = readProcFile(pid, "stat", 4096);
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) {
        return std::nullopt;
    }
    const char* begin = stat.data() + close + 4;
    std::int64_t parent = 0;
    const auto [end, error] = std::from_chars(begin, stat.data() + stat.size(), parent);
    if (error != std::errc() || end == begin || parent <= 0) {
        return std::nullopt;
    }
    return parent;
}

std::string hostedProgramOfProcess(std::int64_t pid, std::string_view host) {
    if (std::string program = programRunBy(host, processCommandLine(pid)); !program.empty()) {
        return program;
    }
    const auto parent = parentProcessID(pid);
    return parent ? programOfHelper(host, processCommandLine(*parent)) : std::string();
}

} // namespace kestrelamp
