#include "engine/hal/SimulatedAudioHardware.h"

#include "engine/hal/SimulatedAudioHardwareObjects.h"

#include <algorithm>
#include <cmath>

// The programs that record, where each records from, and what the user chose for them.

namespace kestrelamp::hal {

const SimulatedAudioHardware::Device* SimulatedAudioHardware::defaultInputLocked() const {
    if (const Device* chosen = findDevice(defaultInput_)) {
        return chosen;
    }
    for (const auto& device : devices_) {
        if (!device->aggregate && device->config.inputStreams > 0 &&
            device->config.uid != kCallMixDeviceUID) {
            return device.get();
        }
    }
    return nullptr;
}

std::string SimulatedAudioHardware::recorderSource(const Recorder& recorder) const {
    std::string wanted;
    if (const auto moved = recorderMoves_.find(recorder.config.bundleID);
        moved != recorderMoves_.end()) {
        wanted = moved->second;
    } else if (const auto choice = recordingChoices_.find(recorder.config.bundleID);
               choice != recordingChoices_.end()) {
        wanted = choice->second.inputUID;
    }
    if (const Device* device = wanted.empty() ? nullptr : findDeviceByUID(wanted);
        device && !device->aggregate) {
        return wanted;
    }
    const Device* fallback = defaultInputLocked();
    return fallback ? fallback->config.uid : std::string();
}

std::vector<RecordingApplication> SimulatedAudioHardware::listRecordings() const {
    std::vector<RecordingApplication> listed;
    for (const auto& recorder : recorders_) {
        RecordingApplication application;
        application.bundleID = recorder->config.bundleID;
        application.name = recorder->config.name;
        application.pid = recorder->config.pid;
        application.sourceUID = recorderSource(*recorder);
        if (const auto moved = recorderMoves_.find(application.bundleID);
            moved != recorderMoves_.end()) {
            application.chosenElsewhere = moved->second;
        }
        application.levelObjectID = recorder->levelObjectID;
        listed.push_back(std::move(application));
    }
    return listed;
}

OSStatus
SimulatedAudioHardware::recordingApplications(std::vector<RecordingApplication>& outApplications) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    outApplications = listRecordings();
    return noErr;
}

OSStatus SimulatedAudioHardware::setRecordingChoices(const RecordingChoices& choices) {
    if (detail::insideIOBlock) {
        return kAudioHardwareIllegalOperationError;
    }
    std::lock_guard lock(mutex_);
    const RecordingsWatch watch(*this);
    recordingChoices_.clear();
    for (const auto& [bundleID, choice] : choices) {
        recorderMoves_.erase(bundleID);
        if (!choice.neutral()) {
            recordingChoices_.emplace(bundleID, choice);
        }
    }
    return noErr;
}

RecordingChoices SimulatedAudioHardware::recordingChoices() const {
    std::lock_guard lock(mutex_);
    return recordingChoices_;
}

AudioObjectID SimulatedAudioHardware::addRecorder(const SimulatedRecorder& config) {
    std::lock_guard lock(mutex_);
    const RecordingsWatch watch(*this);
    auto object = recorderObjects_.find(config.bundleID);
    if (object == recorderObjects_.end()) {
        object = recorderObjects_.emplace(config.bundleID, nextObjectID_++).first;
    }
    const auto listed = std::find_if(recorders_.begin(), recorders_.end(), [&](const auto& r) {
        return r->config.bundleID == config.bundleID;
    });
    if (listed != recorders_.end()) {
        (*listed)->config = config;
    } else {
        recorders_.push_back(std::make_unique<Recorder>(Recorder{config, object->second}));
    }
    return object->second;
}

bool SimulatedAudioHardware::removeRecorder(const std::string& bundleID) {
    std::lock_guard lock(mutex_);
    const RecordingsWatch watch(*this);
    return std::erase_if(recorders_,
                         [&](const auto& r) { return r->config.bundleID == bundleID; }) > 0;
}

bool SimulatedAudioHardware::moveRecorderElsewhere(const std::string& bundleID,
                                                   const std::string& inputUID) {
    std::lock_guard lock(mutex_);
    if (std::none_of(recorders_.begin(), recorders_.end(),
                     [&](const auto& r) { return r->config.bundleID == bundleID; })) {
        return false;
    }
    const RecordingsWatch watch(*this);
    recorderMoves_[bundleID] = inputUID;
    return true;
}

bool SimulatedAudioHardware::setDefaultInputDevice(AudioObjectID deviceID) {
    std::lock_guard lock(mutex_);
    if (deviceID != kAudioObjectUnknown) {
        const Device* device = findDevice(deviceID);
        if (!device || device->aggregate || device->config.inputStreams == 0) {
            return false;
        }
    }
    const RecordingsWatch watch(*this);
    defaultInput_ = deviceID;
    return true;
}

std::string SimulatedAudioHardware::defaultInputUID() const {
    std::lock_guard lock(mutex_);
    const Device* device = defaultInputLocked();
    return device ? device->config.uid : std::string();
}

std::optional<double> SimulatedAudioHardware::recorderAmplitude(AudioObjectID levelObjectID) const {
    const auto recorder = std::find_if(recorders_.begin(), recorders_.end(), [&](const auto& r) {
        return r->levelObjectID == levelObjectID;
    });
    if (recorder == recorders_.end()) {
        return std::nullopt;
    }
    const auto choice = recordingChoices_.find((*recorder)->config.bundleID);
    const RecordingChoice handed =
        choice != recordingChoices_.end() ? choice->second : RecordingChoice{};
    if (handed.muted || recorderSource(**recorder).empty()) {
        return 0.0;
    }
    return std::pow(10.0, (*recorder)->config.levelDb / 20.0) *
           std::clamp(handed.volume, 0.0f, 1.0f);
}

} // namespace kestrelamp::hal
