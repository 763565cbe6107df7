#include "engine/hal/AudioHardware.h"

#include <cctype>

namespace kestrelamp::hal {

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

} // namespace kestrelamp::hal
