#include "engine/hal/AudioHardware.h"

#include <cctype>

namespace kestrelamp::hal {

namespace {

const char* statusWords(OSStatus status) {
    switch (status) {
    case noErr:
        return "no error";
    case kAudioHardwareNotRunningError:
        return "the sound server is not running";
    case kAudioHardwareUnspecifiedError:
        return "unspecified failure";
    case kAudioHardwareUnknownPropertyError:
        return "unknown property";
    case kAudioHardwareBadPropertySizeError:
        return "wrong property size";
    case kAudioHardwareIllegalOperationError:
        return "operation not allowed";
    case kAudioHardwareBadObjectError:
        return "no such object";
    case kAudioHardwareBadDeviceError:
        return "no such device";
    case kAudioHardwareUnsupportedOperationError:
        return "operation not supported";
    case kAudioHardwareTimeoutError:
        return "no answer in time";
    default:
        return nullptr;
    }
}

} // namespace

std::string fourCharCodeString(std::uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((code >> shift) & 0xFF);
        if (!std::isprint(byte)) {
            return std::to_string(static_cast<std::int32_t>(code));
        }
        text.push_back(static_cast<char>(byte));
    }
    return text;
}

std::string statusDescription(OSStatus status) {
    const char* words = statusWords(status);
    const std::string code = fourCharCodeString(std::uint32_t(status));
    // fourCharCodeString gives the number for anything that is not four printable characters.
    if (code == std::to_string(status)) {
        return words != nullptr ? words : code;
    }
    return words != nullptr ? std::string(words) + " ('" + code + "')" : "'" + code + "'";
}

OSStatus AudioHardware::getPropertyInt32(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         std::int32_t& outValue) {
    std::uint32_t bits = 0;
    const OSStatus status = getPropertyUInt32(object, address, bits);
    if (status == noErr) {
        outValue = std::int32_t(bits);
    }
    return status;
}

std::optional<std::vector<AudioObjectID>> readObjectIDs(AudioHardware& hardware,
                                                        AudioObjectID object,
                                                        const AudioObjectPropertyAddress& address) {
    std::uint32_t size = 0;
    if (hardware.getPropertyDataSize(object, address, size) != noErr) {
        return std::nullopt;
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID), kAudioObjectUnknown);
    if (hardware.getPropertyObjectIDs(object, address, ids) != noErr) {
        return std::nullopt;
    }
    return ids;
}

OSStatus AudioHardware::createLevelMonitor(AudioObjectID, AudioObjectID&) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus AudioHardware::destroyLevelMonitor(AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus AudioHardware::setCallMix(const CallMixSettings&) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus AudioHardware::recordingApplications(std::vector<RecordingApplication>&) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus AudioHardware::setRecordingChoices(const RecordingChoices&) {
    return kAudioHardwareUnsupportedOperationError;
}

} // namespace kestrelamp::hal
