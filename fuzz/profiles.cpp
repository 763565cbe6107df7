// profiles.json as read at start: every profile and every route in it is in range and valid
// text, and writing and reading back gives the same profiles and the same bytes.

#include "StoredStateChecks.h"

#include "profiles/AudioProfile.h"

using namespace kestrelamp;
using namespace kestrelamp::fuzz;

namespace {

void checkLoadedProfile(const AudioProfile& profile) {
    requireUtf8(profile.name, "profile name");
    requireUtf8(profile.icon, "profile icon");
    requireUtf8(profile.defaultOutputUID, "profile defaultOutputUID");
    for (const AppAudioState& route : profile.routes) {
        checkLoadedState(route);
    }
}

bool sameProfile(const AudioProfile& a, const AudioProfile& b) {
    if (a.id != b.id || a.name != b.name || a.icon != b.icon ||
        a.defaultOutputUID != b.defaultOutputUID || a.routes.size() != b.routes.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.routes.size(); ++i) {
        if (!sameState(a.routes[i], b.routes[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded = decodeAudioProfiles(bytesOf(data, size));
    if (!decoded) {
        requireUtf8(decoded.error().description, "decoding error");
        return 0;
    }
    for (const AudioProfile& profile : *decoded) {
        checkLoadedProfile(profile);
    }
    const std::string written = encodeAudioProfiles(*decoded);
    const auto reread = decodeAudioProfiles(written);
    require(reread.hasValue(), "written profiles.json reads back", written);
    require(reread->size() == decoded->size(), "same number of profiles after a round trip");
    for (std::size_t i = 0; i < decoded->size(); ++i) {
        require(sameProfile((*decoded)[i], (*reread)[i]), "same profile after a round trip",
                written);
    }
    require(encodeAudioProfiles(*reread) == written, "same bytes when written again", written);
    return 0;
}
