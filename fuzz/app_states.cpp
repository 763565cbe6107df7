// appStates.json as read at start: whatever loads is in range and valid text, and writing it and
// reading it back gives the same states and the same bytes.

#include "StoredStateChecks.h"

#include "model/AudioModel.h"

using namespace kestrelamp;
using namespace kestrelamp::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded = decodeAppAudioStates(bytesOf(data, size));
    if (!decoded) {
        requireUtf8(decoded.error().description, "decoding error");
        return 0;
    }
    for (const AppAudioState& state : *decoded) {
        checkLoadedState(state);
    }
    const std::string written = encodeAppAudioStates(*decoded);
    const auto reread = decodeAppAudioStates(written);
    require(reread.hasValue(), "written appStates.json reads back", written);
    require(reread->size() == decoded->size(), "same number of states after a round trip");
    for (std::size_t i = 0; i < decoded->size(); ++i) {
        require(sameState((*decoded)[i], (*reread)[i]), "same state after a round trip", written);
    }
    require(encodeAppAudioStates(*reread) == written, "same bytes when written again", written);
    return 0;
}
