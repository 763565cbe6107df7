#include "app/RemoteControl.h"

#include "app/RemoteControlSupport.h"

#include <algorithm>

// The remote control's commands for what applications record.

namespace kestrelamp {

using namespace remote_support;

namespace {

constexpr const char* kSystemDefaultInput = "default";

} // namespace

RemoteResult<hal::RecordingChoice>
RemoteControl::recordingChoiceOf(const std::string& appID) const {
    const RecordingControl& recordings = manager_.recordings();
    const AppAudioState* stored = manager_.state(appID);
    if (!stored && !recordings.recording(appID)) {
        return invalid("Unknown application " + quoted(appID) + ".");
    }
    return stored && stored->recording ? *stored->recording : hal::RecordingChoice{};
}

RemoteResult<void> RemoteControl::setRecordingInput(const std::string& appID,
                                                    const std::string& input) {
    if (const auto known = recordingChoiceOf(appID); !known) {
        return unexpected(known.error());
    }
    std::string uid;
    if (input != kSystemDefaultInput) {
        // Listed now: the call mix may have come a moment ago.
        const auto devices = manager_.deviceEnumerator().getAllDevices();
        if (std::none_of(devices.begin(), devices.end(), [&](const AudioDeviceInfo& device) {
                return device.hasInput && device.uid == input;
            })) {
            return invalid("Unknown input device " + quoted(input) + " (default, " +
                           hal::kCallMixDeviceUID + " while it is on, or an input device's UID).");
        }
        uid = input;
    }
    SaveFailureWatch watch(manager_);
    manager_.recordings().setInput(appID, uid);
    return watch.outcome(RemoteResult<void>{});
}

RemoteResult<void> RemoteControl::setRecordingVolume(const std::string& appID,
                                                     const std::string& volume) {
    if (const auto known = recordingChoiceOf(appID); !known) {
        return unexpected(known.error());
    }
    const auto value = unitVolume(volume, "Recording volume");
    if (!value) {
        return unexpected(value.error());
    }
    SaveFailureWatch watch(manager_);
    manager_.recordings().setVolume(appID, *value);
    manager_.flushPendingSave();
    return watch.outcome(RemoteResult<void>{});
}

RemoteResult<void> RemoteControl::setRecordingMute(const std::string& appID,
                                                   const std::string& mode) {
    const auto choice = recordingChoiceOf(appID);
    if (!choice) {
        return unexpected(choice.error());
    }
    const auto wanted = parseSwitch(mode, "Recording mute");
    if (!wanted) {
        return unexpected(wanted.error());
    }
    SaveFailureWatch watch(manager_);
    manager_.recordings().setMuted(appID, switched(*wanted, choice->muted));
    return watch.outcome(RemoteResult<void>{});
}

} // namespace kestrelamp
