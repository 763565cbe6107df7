#pragma once

#include "engine/AudioValues.h"
#include "engine/hal/AudioHardware.h"
#include "platform/RunningApplications.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

// Lists the applications that have audio processes, one entry per application with its helper
// processes folded in. Stateless: every call asks the audio service afresh.
class ProcessEnumerator {
public:
    ProcessEnumerator(hal::AudioHardware& hardware, const RunningApplications& runningApplications);

    // Sorted by display name; system agents, background-only and quit applications left out.
    std::vector<AudioApp> getAudioApps() const;

    // The first process object whose bundle identifier equals the argument exactly.
    std::optional<AudioObjectID> findProcessObjectID(const std::string& bundleID) const;
    // findProcessObjectID for every bundle identifier that has a listed process object, in one
    // look at the list.
    std::map<std::string, AudioObjectID> listedProcessObjects() const;

    // Tested in this order, so ".helper.plugin" is found only by its own entry.
    static const std::vector<std::string>& helperSuffixes();
    static bool isExcluded(const std::string& bundleID);

private:
    std::optional<std::vector<AudioObjectID>> processObjects() const;
    std::optional<std::string> bundleIDOf(AudioObjectID object) const;
    std::vector<AudioApp> groupHelpers(std::vector<AudioApp> raw) const;
    bool isListable(const AudioApp& app) const;

    hal::AudioHardware& hardware_;
    const RunningApplications& runningApplications_;
};

} // namespace kestrelamp
