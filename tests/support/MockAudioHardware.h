#pragma once

#include "engine/hal/AudioHardware.h"

#include <gmock/gmock.h>

namespace kestrelamp::test {

class MockAudioHardware : public hal::AudioHardware {
public:
    MOCK_METHOD(hal::OSStatus, getPropertyDataSize,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&, std::uint32_t&),
                (override));
    MOCK_METHOD(hal::OSStatus, getPropertyUInt32,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&, std::uint32_t&),
                (override));
    MOCK_METHOD(hal::OSStatus, getPropertyInt32,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&, std::int32_t&),
                (override));
    MOCK_METHOD(hal::OSStatus, getPropertyFloat64,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&, double&), (override));
    MOCK_METHOD(hal::OSStatus, getPropertyString,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&, std::string&),
                (override));
    MOCK_METHOD(hal::OSStatus, getPropertyObjectIDs,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                 std::vector<hal::AudioObjectID>&),
                (override));
    MOCK_METHOD(hal::OSStatus, setPropertyUInt32,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&, std::uint32_t),
                (override));
    MOCK_METHOD(hal::OSStatus, addPropertyListener,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                 hal::AudioObjectPropertyListenerProc, void*),
                (override));
    MOCK_METHOD(hal::OSStatus, removePropertyListener,
                (hal::AudioObjectID, const hal::AudioObjectPropertyAddress&,
                 hal::AudioObjectPropertyListenerProc, void*),
                (override));
    MOCK_METHOD(hal::OSStatus, createProcessTap,
                (const hal::CATapDescription&, hal::AudioObjectID&), (override));
    MOCK_METHOD(hal::OSStatus, destroyProcessTap, (hal::AudioObjectID), (override));
    MOCK_METHOD(hal::OSStatus, createAggregateDevice,
                (const hal::AggregateDeviceDescription&, hal::AudioObjectID&), (override));
    MOCK_METHOD(hal::OSStatus, destroyAggregateDevice, (hal::AudioObjectID), (override));
    MOCK_METHOD(hal::OSStatus, createIOProcID,
                (hal::AudioObjectID, hal::AudioDeviceIOBlock, hal::AudioDeviceIOProcID&),
                (override));
    MOCK_METHOD(hal::OSStatus, deviceStart, (hal::AudioObjectID, hal::AudioDeviceIOProcID),
                (override));
    MOCK_METHOD(hal::OSStatus, deviceStop, (hal::AudioObjectID, hal::AudioDeviceIOProcID),
                (override));
    MOCK_METHOD(hal::OSStatus, destroyIOProcID, (hal::AudioObjectID, hal::AudioDeviceIOProcID),
                (override));
};

} // namespace kestrelamp::test
