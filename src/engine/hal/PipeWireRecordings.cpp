#include "engine/hal/PipeWireHardwareImpl.h"
#include "platform/RunningApplications.h"

#include <spa/param/audio/raw.h>

#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cmath>

namespace kestrelamp::hal {

namespace {

using namespace std::chrono_literals;
using Recordings = pipewire::RecordingStreams;

// How long a stream may take to report a volume we gave it before it is moved anyway.
constexpr int kVolumeTakenMs = 1000;
// How long a new stream of an application whose volume we changed is watched for the session
// manager giving it ours back.
constexpr auto kRestoreWatch = 2s;
// How long a stream is left alone after we changed it.
constexpr auto kSettleTime = 150ms;

bool isMeter(const PropertyMap& properties) {
    return propertyValue(properties, PW_KEY_STREAM_MONITOR) == "true";
}

} // namespace

OSStatus PipeWireAudioHardware::Impl::setRecordingChoices(const RecordingChoices& choices) {
    recordings_.choices = choices;
    for (const auto& [bundleID, choice] : choices) {
        recordings_.chosenElsewhere.erase(bundleID);
    }
    changed();
    return noErr;
}

std::string PipeWireAudioHardware::Impl::deviceUIDOfNode(std::int64_t node) const {
    const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const DeviceEntry& d) {
        return d.nodeID == std::uint32_t(node) && aggregates_.count(d.id) == 0;
    });
    return it != devices_.end() ? it->uid : std::string();
}

std::string PipeWireAudioHardware::Impl::inputDeviceForTarget(const std::string& key,
                                                              const std::string& value) const {
    const Global* node = nodeForTarget(key, value);
    return node != nullptr ? deviceUIDOfNode(node->id) : std::string();
}

void PipeWireAudioHardware::Impl::listRecordings() {
    std::vector<RecordingApplication> listed;
    recordings_.streamsByApplication.clear();
    recordings_.applicationOfStream.clear();
    if (connected() && initialSyncDone_ && !recordings_.captureStreams.empty()) {
        std::unordered_map<std::int64_t, std::vector<std::int64_t>> sources;
        for (const auto& [output, inputs] : graph_.linkInputsByOutput) {
            for (const std::int64_t input : inputs) {
                sources[input].push_back(output);
            }
        }
        for (const std::uint32_t id : recordings_.captureStreams) {
            const Global* stream = global(id, GlobalKind::node);
            if (stream == nullptr || !stream->described || isMeter(stream->properties)) {
                continue;
            }
            const Global& node = *stream;
            const ApplicationIdentity identity = identityOf(node);
            if (identity.key.empty() || identity.key == kKestrelampBundleIdentifier) {
                continue;
            }
            auto entry = std::find_if(listed.begin(), listed.end(), [&](const auto& application) {
                return application.bundleID == identity.key;
            });
            if (entry == listed.end()) {
                RecordingApplication application;
                application.bundleID = identity.key;
                application.name =
                    identity.applicationName.empty() ? identity.key : identity.applicationName;
                application.pid = std::int32_t(processIDOf(node).value_or(0));
                application.levelObjectID = idFor(recordings_.levelObjectIDs, identity.key);
                const auto elsewhere = recordings_.chosenElsewhere.find(identity.key);
                if (elsewhere != recordings_.chosenElsewhere.end()) {
                    application.chosenElsewhere = elsewhere->second;
                }
                listed.push_back(std::move(application));
                entry = std::prev(listed.end());
            }
            recordings_.streamsByApplication[identity.key].push_back(id);
            recordings_.applicationOfStream[id] = identity.key;
            for (const std::int64_t source : sources[id]) {
                if (std::string uid = deviceUIDOfNode(source); !uid.empty()) {
                    recordings_.linkedOnce.insert(id);
                    if (entry->sourceUID.empty()) {
                        entry->sourceUID = std::move(uid);
                    }
                    break;
                }
            }
        }
    }
    std::sort(listed.begin(), listed.end(),
              [](const auto& a, const auto& b) { return a.bundleID < b.bundleID; });
    if (listed == recordings_.listed) {
        return;
    }
    recordings_.listed = std::move(listed);
    if (!shuttingDown_) {
        dispatcher.notify(kAudioObjectSystemObject,
                          globalAddress(kAudioHardwarePropertyRecordingApplications));
    }
}

void PipeWireAudioHardware::Impl::reconcileRecordings() {
    const auto gone = [&](std::uint32_t stream) {
        return recordings_.applicationOfStream.count(stream) == 0;
    };
    const auto forgetGone = [&](auto& byStream) {
        std::erase_if(byStream, [&](const auto& entry) { return gone(entry.first); });
    };
    forgetGone(recordings_.held);
    forgetGone(recordings_.applied);
    forgetGone(recordings_.volumeSent);
    forgetGone(recordings_.lastWrite);
    forgetGone(recordings_.watchedUntil);
    std::erase_if(recordings_.linkedOnce, gone);
    for (const auto& [stream, bundleID] : recordings_.applicationOfStream) {
        const auto choice = recordings_.choices.find(bundleID);
        holdRecordingStream(stream, choice != recordings_.choices.end() && !choice->second.neutral()
                                        ? &choice->second
                                        : nullptr);
    }
}

// Points the stream at the chosen input while that input is there (while it is away the session
// manager records from the default, and our entry stays for its return), and sets its volume.
// One change at a time, the volume first: a stream is not relinked while it takes a new volume.
void PipeWireAudioHardware::Impl::holdRecordingStream(std::uint32_t stream,
                                                      const RecordingChoice* choice) {
    const Global* node = global(stream, GlobalKind::node);
    if (node == nullptr) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto lastWrite = recordings_.lastWrite.find(stream);
    if (recordings_.volumeSent.count(stream) > 0) {
        if (!volumeTaken(stream) && lastWrite != recordings_.lastWrite.end() &&
            now - lastWrite->second < std::chrono::milliseconds(kVolumeTakenMs)) {
            armTimer(recordingTimer_, 20);
            return;
        }
        recordings_.volumeSent.erase(stream);
    }
    if (lastWrite != recordings_.lastWrite.end() && now - lastWrite->second < kSettleTime) {
        armTimer(recordingTimer_, int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          kSettleTime - (now - lastWrite->second))
                                          .count()));
        return;
    }
    if (applyStreamVolume(*node, choice) || applyStreamTarget(*node, choice)) {
        recordings_.lastWrite[stream] = now;
        armTimer(recordingTimer_, int(kSettleTime.count()));
    }
}

bool PipeWireAudioHardware::Impl::applyStreamVolume(const Global& node,
                                                    const RecordingChoice* choice) {
    const Recordings::Applied wanted{choice != nullptr ? choice->volume : 1.0f,
                                     choice != nullptr && choice->muted};
    const auto applied = recordings_.applied.find(node.id);
    if (choice != nullptr && (choice->volume != 1.0f || choice->muted)) {
        if (applied != recordings_.applied.end() && applied->second == wanted) {
            return false;
        }
        setStreamVolume(node, wanted.volume, wanted.muted);
        recordings_.applied[node.id] = wanted;
        recordings_.volumeSent[node.id] = wanted;
        recordings_.gainedApplications.insert(recordings_.applicationOfStream[node.id]);
        return true;
    }
    const std::string& bundleID = recordings_.applicationOfStream[node.id];
    if (applied == recordings_.applied.end()) {
        // The session manager gives a new stream the volume the last one like it had (ours, when
        // that one went while we held it), soon after the stream appears.
        if (recordings_.gainedApplications.count(bundleID) == 0) {
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto watched = recordings_.watchedUntil.emplace(node.id, now + kRestoreWatch).first;
        if (now > watched->second || !node.propsVolume ||
            (*node.propsVolume == 1.0f && !node.propsMuted)) {
            return false;
        }
        recordings_.watchedUntil.erase(watched);
    } else {
        recordings_.applied.erase(applied);
    }
    setStreamVolume(node, 1.0f, false);
    recordings_.volumeSent[node.id] = {};
    return true;
}

bool PipeWireAudioHardware::Impl::applyStreamTarget(const Global& node,
                                                    const RecordingChoice* choice) {
    const std::uint32_t stream = node.id;
    const std::string wanted = choice != nullptr ? choice->inputUID : std::string();
    const StreamTargetEntries current = targetsOnTheirWay_.expected(stream, targetEntries(stream));
    const std::string targeted =
        current.targetObject ? inputDeviceForTarget(kTargetObjectKey, *current.targetObject) : "";
    const auto held = recordings_.held.find(stream);
    if (wanted.empty()) {
        if (held == recordings_.held.end()) {
            return false;
        }
        // Back to the system default: our entry goes, unless another client wrote its own since,
        // and so does the session manager's restoring of ours for a stream that came later.
        bool wrote = false;
        if (current.targetObject && targeted == held->second) {
            wrote = writeMetadata({stream, kTargetObjectKey, std::nullopt});
        }
        if (current.targetNode &&
            inputDeviceForTarget(kTargetNodeKey, *current.targetNode) == held->second) {
            wrote = writeMetadata({stream, kTargetNodeKey, std::nullopt}) || wrote;
        }
        recordings_.held.erase(held);
        return wrote;
    }
    // pipewire-pulse completes a stream's creation once it is linked; one moved before that may
    // never record. It is held once it is.
    if (recordings_.linkedOnce.count(stream) == 0 &&
        propertyValue(node.properties, PW_KEY_CLIENT_API) == "pipewire-pulse") {
        return false;
    }
    recordings_.held[stream] = wanted;
    if (deviceByUID(wanted) == nullptr) {
        return false;
    }
    // The session manager moves it back on its own when the input returns.
    if (targeted == wanted) {
        return false;
    }
    return writeMetadata({stream, kTargetObjectKey, wanted});
}

void PipeWireAudioHardware::Impl::releaseRecordings() {
    // Nothing is held again by a change the last round trip brings.
    recordings_.choices.clear();
    bool volumes = false;
    for (const auto& [stream, bundleID] : recordings_.applicationOfStream) {
        if (const Global* node = global(stream, GlobalKind::node)) {
            volumes = applyStreamVolume(*node, nullptr) || volumes;
        }
    }
    // The volumes first, then the moves: see holdRecordingStream.
    if (volumes && connected()) {
        waitUntil(
            [&] {
                return std::all_of(recordings_.volumeSent.begin(), recordings_.volumeSent.end(),
                                   [&](const auto& entry) { return volumeTaken(entry.first); });
            },
            kVolumeTakenMs);
    }
    for (const auto& [stream, bundleID] : recordings_.applicationOfStream) {
        if (const Global* node = global(stream, GlobalKind::node)) {
            applyStreamTarget(*node, nullptr);
        }
    }
}

bool PipeWireAudioHardware::Impl::volumeTaken(std::uint32_t stream) const {
    const Global* node = global(stream, GlobalKind::node);
    const auto sent = recordings_.volumeSent.find(stream);
    return node == nullptr || sent == recordings_.volumeSent.end() ||
           (node->propsVolume && std::abs(*node->propsVolume - sent->second.volume) < 1e-4f &&
            node->propsMuted == sent->second.muted);
}

void PipeWireAudioHardware::Impl::onRecordingTimer(void* data, std::uint64_t) {
    static_cast<Impl*>(data)->changedSoon();
}

void PipeWireAudioHardware::Impl::setStreamVolume(const Global& stream, float volume, bool muted) {
    if (stream.proxy == nullptr) {
        return;
    }
    std::size_t channels = portsOf(stream.id, "in", false).size();
    if (channels == 0) {
        channels = std::max<std::size_t>(stream.formatChannels.size(), 2);
    }
    std::vector<float> volumes(std::min<std::size_t>(channels, SPA_AUDIO_MAX_CHANNELS), volume);
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_pod_frame frame{};
    spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props);
    spa_pod_builder_prop(&builder, SPA_PROP_channelVolumes, 0);
    spa_pod_builder_array(&builder, sizeof(float), SPA_TYPE_Float, std::uint32_t(volumes.size()),
                          volumes.data());
    spa_pod_builder_prop(&builder, SPA_PROP_mute, 0);
    spa_pod_builder_bool(&builder, muted);
    const auto* props = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame));
    pw_node_set_param(reinterpret_cast<pw_node*>(stream.proxy), SPA_PARAM_Props, 0, props);
}

void PipeWireAudioHardware::Impl::onRecordingTargetChanged(
    std::uint32_t stream, const std::optional<std::string>& value) {
    const auto application = recordings_.applicationOfStream.find(stream);
    if (application == recordings_.applicationOfStream.end()) {
        return;
    }
    // A removed entry chooses nothing (the server also removes them for a stream that went); ours
    // is written again while the stream stays.
    if (!value || *value == "-1") {
        return;
    }
    const std::string chosen = inputDeviceForTarget(kTargetObjectKey, *value);
    if (chosen.empty()) {
        return;
    }
    const std::string& bundleID = application->second;
    RecordingChoice& choice = recordings_.choices[bundleID];
    if (choice.inputUID == chosen && recordings_.held.count(stream) > 0) {
        return;
    }
    choice.inputUID = chosen;
    recordings_.chosenElsewhere[bundleID] = chosen;
    recordings_.held[stream] = chosen;
    changedSoon();
}

const std::string* PipeWireAudioHardware::Impl::recordingOfLevelObject(AudioObjectID id) const {
    for (const auto& [bundleID, objectID] : recordings_.levelObjectIDs) {
        if (objectID == id) {
            return &bundleID;
        }
    }
    return nullptr;
}

std::optional<double>
PipeWireAudioHardware::Impl::recordingGainDb(const LevelMonitor& monitor) const {
    const auto choice = recordings_.choices.find(monitor.processKey);
    if (!monitor.recording || choice == recordings_.choices.end()) {
        return 0.0;
    }
    if (choice->second.muted || choice->second.volume <= 0.0f) {
        return std::nullopt;
    }
    return 20.0 * std::log10(double(choice->second.volume));
}

} // namespace kestrelamp::hal
