#include "engine/ProcessEnumerator.h"

#include "platform/LocalizedString.h"

#include <algorithm>
#include <map>
#include <set>

namespace kestrelamp {

using namespace hal;

namespace {

std::optional<std::string> matchingHelperSuffix(const std::string& bundleID) {
    for (const std::string& suffix : ProcessEnumerator::helperSuffixes()) {
        if (bundleID.size() >= suffix.size() &&
            bundleID.compare(bundleID.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return suffix;
        }
    }
    return std::nullopt;
}

void adoptHelper(AudioApp& parent, const AudioApp& helper) {
    parent.childBundleIDs.push_back(helper.id);
    parent.childAudioObjectIDs.push_back(helper.audioObjectID);
}

} // namespace

ProcessEnumerator::ProcessEnumerator(AudioHardware& hardware,
                                     const RunningApplications& runningApplications)
    : hardware_(hardware)
    , runningApplications_(runningApplications) {}

const std::vector<std::string>& ProcessEnumerator::helperSuffixes() {
    static const std::vector<std::string> suffixes{".helper", ".GPU", ".Renderer", ".Plugin",
                                                   ".helper.plugin"};
    return suffixes;
}

bool ProcessEnumerator::isExcluded(const std::string& bundleID) {
    static const std::set<std::string> excluded{
        "com.apple.loginwindow",    "com.apple.controlcenter",        "com.apple.PowerChime",
        "com.apple.dock",           "com.apple.notificationcenterui", "com.apple.universalcontrol",
        "com.apple.wallpaper.agent"};
    return excluded.count(bundleID) > 0;
}

std::optional<std::vector<AudioObjectID>> ProcessEnumerator::processObjects() const {
    return readObjectIDs(hardware_, kAudioObjectSystemObject,
                         globalAddress(kAudioHardwarePropertyProcessObjectList));
}

std::optional<std::string> ProcessEnumerator::bundleIDOf(AudioObjectID object) const {
    std::string bundleID;
    if (hardware_.getPropertyString(object, globalAddress(kAudioProcessPropertyBundleID),
                                    bundleID) != noErr ||
        bundleID.empty()) {
        return std::nullopt;
    }
    return bundleID;
}

std::vector<AudioApp> ProcessEnumerator::getAudioApps() const {
    const auto objects = processObjects();
    if (!objects || objects->empty()) {
        return {};
    }

    const std::string ownBundleID = runningApplications_.mainBundleIdentifier();
    std::vector<AudioApp> raw;
    for (const AudioObjectID object : *objects) {
        const auto bundleID = bundleIDOf(object);
        if (!bundleID) {
            continue;
        }
        std::int32_t pid = 0;
        if (hardware_.getPropertyInt32(object, globalAddress(kAudioProcessPropertyPID), pid) !=
                noErr ||
            pid <= 0) {
            continue;
        }
        if (*bundleID == ownBundleID) {
            continue;
        }
        const bool seen = std::any_of(raw.begin(), raw.end(),
                                      [&](const AudioApp& app) { return app.id == *bundleID; });
        if (!seen) {
            raw.push_back(AudioApp::make(*bundleID, pid, object, runningApplications_));
        }
    }

    std::vector<AudioApp> apps = groupHelpers(std::move(raw));
    std::erase_if(apps, [this](const AudioApp& app) { return !isListable(app); });
    std::stable_sort(apps.begin(), apps.end(), [](const AudioApp& a, const AudioApp& b) {
        return localizedCompare(a.displayName, b.displayName) < 0;
    });
    return apps;
}

// Helpers (renderers, GPU processes, plug-in hosts) become children of their application; a helper
// seen before its application gets a placeholder parent that the application later replaces.
std::vector<AudioApp> ProcessEnumerator::groupHelpers(std::vector<AudioApp> raw) const {
    std::map<std::string, AudioApp> parents;
    std::vector<AudioApp> standalone;
    for (AudioApp& entry : raw) {
        if (const auto suffix = matchingHelperSuffix(entry.id)) {
            const std::string parentID = entry.id.substr(0, entry.id.size() - suffix->size());
            if (auto parent = parents.find(parentID); parent != parents.end()) {
                adoptHelper(parent->second, entry);
            } else if (auto it =
                           std::find_if(standalone.begin(), standalone.end(),
                                        [&](const AudioApp& app) { return app.id == parentID; });
                       it != standalone.end()) {
                AudioApp moved = std::move(*it);
                standalone.erase(it);
                adoptHelper(moved, entry);
                parents.emplace(parentID, std::move(moved));
            } else {
                AudioApp placeholder = AudioApp::make(parentID, entry.processID,
                                                      entry.audioObjectID, runningApplications_);
                adoptHelper(placeholder, entry);
                parents.emplace(parentID, std::move(placeholder));
            }
            continue;
        }
        if (auto placeholder = parents.find(entry.id); placeholder != parents.end()) {
            AudioApp merged = std::move(entry);
            merged.childBundleIDs = std::move(placeholder->second.childBundleIDs);
            merged.childAudioObjectIDs = std::move(placeholder->second.childAudioObjectIDs);
            if (placeholder->second.audioObjectID != merged.audioObjectID) {
                merged.childAudioObjectIDs.push_back(placeholder->second.audioObjectID);
            }
            placeholder->second = std::move(merged);
        } else {
            standalone.push_back(std::move(entry));
        }
    }
    for (auto& [id, parent] : parents) {
        standalone.push_back(std::move(parent));
    }
    return standalone;
}

bool ProcessEnumerator::isListable(const AudioApp& app) const {
    if (isExcluded(app.id)) {
        return false;
    }
    const auto running = runningApplications_.firstRunningApplication(app.id);
    return running && (running->activationPolicy == ActivationPolicy::regular ||
                       running->activationPolicy == ActivationPolicy::accessory);
}

std::optional<AudioObjectID>
ProcessEnumerator::findProcessObjectID(const std::string& bundleID) const {
    // A failed listing is simply an empty one here.
    for (const AudioObjectID object : processObjects().value_or(std::vector<AudioObjectID>{})) {
        if (bundleIDOf(object) == bundleID) {
            return object;
        }
    }
    return std::nullopt;
}

std::map<std::string, AudioObjectID> ProcessEnumerator::listedProcessObjects() const {
    std::map<std::string, AudioObjectID> objects;
    for (const AudioObjectID object : processObjects().value_or(std::vector<AudioObjectID>{})) {
        if (const auto bundleID = bundleIDOf(object)) {
            objects.emplace(*bundleID, object);
        }
    }
    return objects;
}

} // namespace kestrelamp
