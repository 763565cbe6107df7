#include "Routing.h"

#include "PipeWireSession.h"

#include <QUuid>

#include <algorithm>

namespace kestrelamp::e2e {

using namespace hal;

std::vector<AudioObjectID> listedObjects(AudioHardware& hardware,
                                         AudioObjectPropertySelector selector) {
    return readObjectIDs(hardware, kAudioObjectSystemObject, globalAddress(selector))
        .value_or(std::vector<AudioObjectID>{});
}

namespace {

// Longer than the program waits: a loaded test machine may take the session manager that long.
constexpr int kHandBackWaitMs = 2000;

std::optional<AudioObjectID> findByString(AudioHardware& hardware, AudioObjectPropertySelector list,
                                          AudioObjectPropertySelector key, const std::string& value,
                                          int timeoutMs) {
    std::optional<AudioObjectID> found;
    pollUntil(
        [&] {
            for (const AudioObjectID id : listedObjects(hardware, list)) {
                std::string text;
                if (hardware.getPropertyString(id, globalAddress(key), text) == noErr &&
                    text == value) {
                    found = id;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

} // namespace

std::optional<AudioObjectID> findProcess(AudioHardware& hardware, const std::string& bundleID,
                                         int timeoutMs) {
    return findByString(hardware, kAudioHardwarePropertyProcessObjectList,
                        kAudioProcessPropertyBundleID, bundleID, timeoutMs);
}

std::optional<AudioObjectID> findDevice(AudioHardware& hardware, const std::string& uid,
                                        int timeoutMs) {
    return findByString(hardware, kAudioHardwarePropertyDevices, kAudioDevicePropertyDeviceUID, uid,
                        timeoutMs);
}

AudioDeviceIOBlock PassThrough::block() {
    return [this](const AudioIOCycle&, const AudioBufferList& input, AudioBufferList& output) {
        calls.fetch_add(1, std::memory_order_relaxed);
        const float g = gain.load(std::memory_order_relaxed);
        const std::uint32_t count = std::min(input.numberBuffers, output.numberBuffers);
        for (std::uint32_t b = 0; b < count; ++b) {
            const auto* in = static_cast<const float*>(input.buffers[b].data);
            auto* out = static_cast<float*>(output.buffers[b].data);
            const std::uint32_t samples =
                std::min(input.buffers[b].dataByteSize, output.buffers[b].dataByteSize) / 4;
            for (std::uint32_t i = 0; i < samples; ++i) {
                out[i] = g * in[i];
            }
        }
    };
}

TestRoute::TestRoute(AudioHardware& hardware, AudioObjectID process, const std::string& deviceUID,
                     PassThrough& renderer, std::optional<AudioObjectID> sharedTap)
    : hardware_(hardware)
    , renderer_(renderer) {
    const auto fail = [&](const char* step, OSStatus status) {
        failure_ = std::string(step) + " failed: " + fourCharCodeString(std::uint32_t(status));
    };
    if (sharedTap) {
        tap_ = *sharedTap;
    } else {
        // As the program taps: in the application's own layout.
        auto description = CATapDescription::stereoMixdownOfProcesses({process});
        description.mixdown = false;
        description.muteBehavior = CATapMuteBehavior::mutedWhenTapped;
        if (const OSStatus status = hardware_.createProcessTap(description, tap_);
            status != noErr) {
            fail("createProcessTap", status);
            return;
        }
        ownsTap_ = true;
    }
    std::string tapUID;
    if (const OSStatus status =
            hardware_.getPropertyString(tap_, globalAddress(kAudioTapPropertyUID), tapUID);
        status != noErr) {
        fail("tuid", status);
        return;
    }
    AggregateDeviceDescription description;
    description.name = "Kestrelamp-e2e";
    description.uid = "com.kestrelamp.aggregate." +
                      QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    description.subDeviceUIDs = {deviceUID};
    description.tapUIDs = {tapUID};
    if (const OSStatus status = hardware_.createAggregateDevice(description, aggregate_);
        status != noErr) {
        fail("createAggregateDevice", status);
        return;
    }
    if (const OSStatus status = hardware_.createIOProcID(aggregate_, renderer_.block(), ioProc_);
        status != noErr) {
        fail("createIOProcID", status);
        return;
    }
    if (const OSStatus status = hardware_.deviceStart(aggregate_, ioProc_); status != noErr) {
        fail("deviceStart", status);
    }
}

TestRoute::~TestRoute() {
    destroy();
}

void TestRoute::destroy() {
    // As the tap manager lets a route go: the application back on its own output first.
    const AudioObjectPropertyAddress handBack = globalAddress(kAudioTapPropertyHandBack);
    if (ownsTap_ && tap_ != kAudioObjectUnknown &&
        hardware_.setPropertyUInt32(tap_, handBack, 1) == noErr) {
        pollUntil(
            [&] {
                std::uint32_t pending = 0;
                return hardware_.getPropertyUInt32(tap_, handBack, pending) != noErr ||
                       pending == 0;
            },
            kHandBackWaitMs);
    }
    if (ioProc_ != kAudioDeviceIOProcIDNone) {
        hardware_.deviceStop(aggregate_, ioProc_);
        hardware_.destroyIOProcID(aggregate_, ioProc_);
        ioProc_ = kAudioDeviceIOProcIDNone;
    }
    if (aggregate_ != kAudioObjectUnknown) {
        hardware_.destroyAggregateDevice(aggregate_);
        aggregate_ = kAudioObjectUnknown;
    }
    if (ownsTap_ && tap_ != kAudioObjectUnknown) {
        hardware_.destroyProcessTap(tap_);
    }
    tap_ = kAudioObjectUnknown;
    ownsTap_ = false;
}

} // namespace kestrelamp::e2e
