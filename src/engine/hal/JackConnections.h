#pragma once

// A JACK program connects its own ports: nothing moves it by a target entry, and the session
// manager leaves it alone. While such a program is routed, links of ours carry its ports to our
// capture node, and the connections it had made are set aside here, by name, to be made again
// when we let go. The record also goes into the metadata beside the node, so that the run after
// one that was killed gives them back. Pure bookkeeping, like StreamTargets.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp::hal {

// Kept on the JACK node in the "default" metadata while we hold it.
inline constexpr const char* kEarlierConnectionsKey = "com.kestrelamp.earlier.connections";

// One connection from a port of the held node, by port and node names: ids are reused.
struct PortConnection {
    std::string outputPort;
    std::string inputNode;
    std::string inputPort;

    friend bool operator==(const PortConnection&, const PortConnection&) = default;
};

class JackConnections {
public:
    void hold(std::uint32_t node) { held_.try_emplace(node); }
    bool holds(std::uint32_t node) const { return held_.count(node) > 0; }
    std::vector<std::uint32_t> nodes() const;

    // Sets a connection of the held node aside; true when it was not set aside before.
    bool setAside(std::uint32_t node, const PortConnection& connection);
    const std::vector<PortConnection>& setAsideOf(std::uint32_t node) const;

    // What was set aside for the node, which is forgotten.
    std::vector<PortConnection> release(std::uint32_t node);
    void forget(std::uint32_t node) { held_.erase(node); }

    // The metadata value of a record, and back; a value that is not one reads as none.
    static std::string encode(const std::vector<PortConnection>& connections);
    static std::vector<PortConnection> decode(std::string_view value);

private:
    std::map<std::uint32_t, std::vector<PortConnection>> held_;
};

} // namespace kestrelamp::hal
