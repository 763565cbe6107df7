#pragma once

// The processes that are clients of the audio service, with the properties they announced. The
// audio service supplies it; the running-applications lookup reads names and icons from it.

#include "platform/ApplicationIdentity.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kestrelamp {

struct AudioClient {
    std::string bundleID;
    std::int32_t pid = 0;
    // The client's and its playback streams' properties, a stream's value winning.
    std::map<std::string, std::string, std::less<>> properties;
    // Who it is, as the key was made: what its name and desktop entry are found by.
    ApplicationIdentity identity = {};
};

class AudioClientDirectory {
public:
    virtual ~AudioClientDirectory() = default;
    // The clients that announced this application id: a listing asks once per application.
    virtual std::vector<AudioClient> audioClients(const std::string& bundleID) const = 0;
};

} // namespace kestrelamp
