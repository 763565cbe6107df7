#pragma once

// What the PipeWire service keeps of the programs that record: their capture streams by
// application, the choices handed in, and what it did to each stream to hold them. Owned by the
// service's Impl, used on its loop thread or with the loop locked.

#include "engine/hal/AudioHardware.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrelamp::hal::pipewire {

inline constexpr const char* kRecordingStreamClass = "Stream/Input/Audio";

struct RecordingStreams {
    // As last published to "rec#" listeners.
    std::vector<RecordingApplication> listed;
    // Every capture stream, gathered with the listing.
    std::vector<std::uint32_t> captureStreams;
    // The capture streams of each application, and each stream's application, as of the last
    // change.
    std::map<std::string, std::vector<std::uint32_t>> streamsByApplication;
    std::map<std::uint32_t, std::string> applicationOfStream;
    std::map<std::string, AudioObjectID> levelObjectIDs;

    RecordingChoices choices;
    std::map<std::string, std::string> chosenElsewhere;

    // Streams that were linked to a device at least once.
    std::set<std::uint32_t> linkedOnce;
    // The input UID our target entry points each stream at.
    std::map<std::uint32_t, std::string> held;
    struct Applied {
        float volume = 1.0f;
        bool muted = false;
        friend bool operator==(const Applied&, const Applied&) = default;
    };
    // The volume and mute we set on each stream.
    std::map<std::uint32_t, Applied> applied;
    // Applications whose volume we changed and whose next streams may come with it, and until when
    // each new stream of theirs is watched for it.
    std::set<std::string> gainedApplications;
    std::map<std::uint32_t, std::chrono::steady_clock::time_point> watchedUntil;
    // Volumes given to streams that have not reported them yet: a stream is not moved meanwhile.
    std::map<std::uint32_t, Applied> volumeSent;
    // When we last changed each stream (its target or its volume).
    std::map<std::uint32_t, std::chrono::steady_clock::time_point> lastWrite;
};

} // namespace kestrelamp::hal::pipewire
