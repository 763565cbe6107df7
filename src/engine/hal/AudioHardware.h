#pragma once

// The one interface through which Kestrelamp talks to the audio service. Objects are 32-bit ids,
// properties are addressed by (selector, scope, element) four-character codes, every call returns a
// 32-bit status (noErr on success). Implementations: SimulatedAudioHardware (in memory) and
// PipeWireAudioHardware.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp::hal {

using AudioObjectID = std::uint32_t;
using AudioDeviceID = AudioObjectID;
using OSStatus = std::int32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
using AudioDeviceIOProcID = std::uint64_t;

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) |
           (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

// "glob", "who?", ...: printable form of a code, for logs and test messages.
std::string fourCharCodeString(std::uint32_t code);

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr AudioDeviceIOProcID kAudioDeviceIOProcIDNone = 0;

inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCharCode("glob");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeOutput = fourCharCode("outp");
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeInput = fourCharCode("inpt");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

// System object.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyProcessObjectList =
    fourCharCode("prs#");
// Its listeners also hear of a listed device whose sample rate changed.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDevices = fourCharCode("dev#");
// Writing asks for a new default; a service whose session manager makes it says so to the
// property's listeners when it has, and reads answer the default in effect until then.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice =
    fourCharCode("dOut");
// How many applications the caller may tap at once (the largest of its profiles), written as a
// 32-bit value. A service may make ready ahead what taps of so many need, so that a profile's
// routes connect as quickly as one; one that makes nothing ahead answers
// kAudioHardwareUnknownPropertyError.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTapsMadeTogether =
    fourCharCode("tap+");
// Process objects. One object stands for every process of one application identifier; its id stays
// the same for the service's lifetime, and it is listed while any of those processes plays. A tap
// made on it goes on capturing what the application plays, whenever it plays again.
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyBundleID = fourCharCode("pbid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyPID = fourCharCode("ppid");
inline constexpr AudioObjectPropertySelector kAudioProcessPropertyIsRunning = fourCharCode("pir?");
// Devices (and the name on any object).
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCharCode("uid ");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = fourCharCode("lnam");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyManufacturer =
    fourCharCode("lmak");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = fourCharCode("stm#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType =
    fourCharCode("tran");
// The rate the device runs at now (or would run at, while idle).
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate =
    fourCharCode("nsrt");
// Taps.
inline constexpr AudioObjectPropertySelector kAudioTapPropertyUID = fourCharCode("tuid");
// Another client chose where the tapped processes play (a desktop's sound settings, another
// mixer): the tap has let go of them, for good, and they play where that client sent them. A
// 32-bit value, 1 once released; its listeners hear of the release.
inline constexpr AudioObjectPropertySelector kAudioTapPropertyIsReleased = fourCharCode("trl?");
// Where the released processes play: the UID of that output device, or "" for the system default
// output (or anything that is not an output device). Only readable once released.
inline constexpr AudioObjectPropertySelector kAudioTapPropertyReleaseDeviceUID =
    fourCharCode("trlu");
// Our aggregate devices: whether the aggregate carries what its taps capture to its sub-device.
// A 32-bit value, 0 while the service is still connecting it and 1 once it does: a started block
// runs and the tapped processes play into its taps. Once the service refused to connect it or
// did not in time, a read answers that error instead. Creating and starting an aggregate do not
// wait for it; listeners hear of each change.
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyCarries =
    fourCharCode("acr?");
// Once "acr?" answers a failure: why the service could not connect the aggregate, in words, with
// the server's own where it gave any ("the sound server refused a link: unknown factory name
// link-factory (No such file or directory)"). What its taps needed and were refused is said
// here too. A string; before a failure a read answers kAudioHardwareIllegalOperationError.
inline constexpr AudioObjectPropertySelector kAudioAggregateDevicePropertyFailureReason =
    fourCharCode("why?");
// Writing 1 gives the tap's processes back to the outputs they play on without it, ahead of
// destroying the tap, so that its aggregates carry them until they play there and nothing is
// lost in between. Processes that another tap also holds stay where they are. Reads answer 1
// while processes it gave back still play into it only, else 0; listeners hear when that ends.
inline constexpr AudioObjectPropertySelector kAudioTapPropertyHandBack = fourCharCode("thbk");
// Level monitors (createLevelMonitor): 64-bit floats in dBFS over every channel of the last
// kAudioLevelMonitorWindowMs of what the application played: 20·log10 of the RMS, and of the
// largest magnitude. Never below kAudioLevelMonitorSilenceDb, which is also the answer when the
// application played nothing in the last kAudioLevelMonitorHoldMs of the service's time.
inline constexpr AudioObjectPropertySelector kAudioLevelMonitorPropertyRMS = fourCharCode("lmrm");
inline constexpr AudioObjectPropertySelector kAudioLevelMonitorPropertyPeak = fourCharCode("lmpk");
inline constexpr double kAudioLevelMonitorSilenceDb = -120.0;
inline constexpr int kAudioLevelMonitorWindowMs = 100;
inline constexpr int kAudioLevelMonitorHoldMs = 250;

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = OSStatus(fourCharCode("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError = OSStatus(fourCharCode("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = OSStatus(fourCharCode("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = OSStatus(fourCharCode("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = OSStatus(fourCharCode("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = OSStatus(fourCharCode("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = OSStatus(fourCharCode("!dev"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError = OSStatus(fourCharCode("unop"));
// The service did not answer in time.
inline constexpr OSStatus kAudioHardwareTimeoutError = OSStatus(fourCharCode("tmot"));

// A status as a person reads it: the words for the statuses above, with the code's four
// characters ("no answer in time ('tmot')"); any other four-character code as its characters
// ("'abcd'"), any other number in decimal.
std::string statusDescription(OSStatus status);

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector selector = 0;
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal;
    AudioObjectPropertyElement element = kAudioObjectPropertyElementMain;

    friend bool operator==(const AudioObjectPropertyAddress&,
                           const AudioObjectPropertyAddress&) = default;
};

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

// One buffer of 32-bit float samples; numberChannels samples are interleaved per frame.
struct AudioBuffer {
    std::uint32_t numberChannels = 1;
    std::uint32_t dataByteSize = 0;
    void* data = nullptr;
};

struct AudioBufferList {
    std::uint32_t numberBuffers = 0;
    AudioBuffer* buffers = nullptr;
};

// What an engine runs at while nothing has said its device's rate: the service's usual graph rate.
inline constexpr double kFallbackEngineSampleRate = 48000.0;

// What one I/O cycle runs at. A device's rate can change between cycles (a graph that switches
// rate while idle), so whatever depends on it reads it here, every cycle.
struct AudioIOCycle {
    double sampleRate = kFallbackEngineSampleRate;
};

// Called once per I/O cycle on the device's real-time thread. It must not block, lock or allocate.
using AudioDeviceIOBlock = std::function<void(
    const AudioIOCycle& cycle, const AudioBufferList& input, AudioBufferList& output)>;

// Called on a thread of the service after one of the addressed properties changed.
using AudioObjectPropertyListenerProc = OSStatus (*)(AudioObjectID objectID,
                                                     std::uint32_t numberAddresses,
                                                     const AudioObjectPropertyAddress* addresses,
                                                     void* clientData);

enum class CATapMuteBehavior : std::int32_t {
    unmuted = 0,
    muted = 1,
    mutedWhenTapped = 2, // the process is silent on its own output while the tap is read
};

// With mixdown the tap delivers stereo; without it, the processes' own channel layout.
struct CATapDescription {
    std::vector<AudioObjectID> processes;
    bool mixdown = true;
    bool mono = false;
    CATapMuteBehavior muteBehavior = CATapMuteBehavior::unmuted;

    static CATapDescription stereoMixdownOfProcesses(std::vector<AudioObjectID> processObjectIDs) {
        CATapDescription description;
        description.processes = std::move(processObjectIDs);
        return description;
    }
};

// The literal dictionary keys of an aggregate device description, for logs and diagnostics.
inline constexpr const char* kAudioAggregateDeviceNameKey = "name";
inline constexpr const char* kAudioAggregateDeviceUIDKey = "uid";
inline constexpr const char* kAudioAggregateDeviceSubDeviceListKey = "subdevices";
inline constexpr const char* kAudioAggregateDeviceTapListKey = "taps";
inline constexpr const char* kAudioSubDeviceUIDKey = "uid";
inline constexpr const char* kAudioSubTapUIDKey = "uid";

// The UIDs of the aggregates and taps Kestrelamp makes begin with this; device lists leave them
// out.
inline constexpr const char* kOwnAggregateUIDPrefix = "com.kestrelamp.aggregate";

// A private device whose input is its taps and whose output is its sub-devices, started with its
// taps. Only these four entries exist: no main sub-device, clock device, stacking or drift
// compensation.
struct AggregateDeviceDescription {
    std::string name;
    std::string uid;
    std::vector<std::string> subDeviceUIDs;
    std::vector<std::string> tapUIDs;

    friend bool operator==(const AggregateDeviceDescription&,
                           const AggregateDeviceDescription&) = default;
};

// The call mix: a virtual microphone that recording programs list as an input device and that
// the caller lists among its output devices, so that routes to it send applications into it.
// While on, it is listed in "dev#" with one output and one input stream; it is never the default
// output.
inline constexpr const char* kCallMixDeviceUID = "com.kestrelamp.callmix";
inline constexpr const char* kCallMixDeviceName = "Kestrelamp Call Mix";

struct CallMixSettings {
    bool on = false;
    // Mixed in besides the routes: nothing, the system's default input (""), or the input
    // device of that UID, whenever it is there.
    std::optional<std::string> microphoneUID;
    float microphoneVolume = 1.0f;
    bool microphoneMuted = false;

    friend bool operator==(const CallMixSettings&, const CallMixSettings&) = default;
};

// Programs that record: their capture streams, one entry per application, keyed as players are,
// and what the user chose for each (where it records from, the volume and mute of what it
// records).
// On the system object: the list of recording applications, or where one records from, changed.
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyRecordingApplications =
    fourCharCode("rec#");

struct RecordingApplication {
    // Keyed as a player's process object is (its "bid").
    std::string bundleID;
    // What the program calls itself, as the first of its streams says it.
    std::string name;
    std::int32_t pid = 0;
    // Where it records from now: the UID of the device its streams are linked to (an input
    // device, the call mix, or an output device whose monitor it records); "" while none is.
    std::string sourceUID;
    // Another program chose where it records since its choice was last handed in: that input's
    // UID, or "" for the system default. The service already holds its streams there.
    std::optional<std::string> chosenElsewhere;
    // Stands for it in createLevelMonitor: such a monitor measures what it receives, after the
    // volume and mute it was handed.
    AudioObjectID levelObjectID = kAudioObjectUnknown;

    friend bool operator==(const RecordingApplication&, const RecordingApplication&) = default;
};

struct RecordingChoice {
    // "" records from the system's default input.
    std::string inputUID;
    float volume = 1.0f;
    bool muted = false;

    // Nothing of ours acts on an application whose choice is neutral.
    bool neutral() const { return inputUID.empty() && volume == 1.0f && !muted; }
    friend bool operator==(const RecordingChoice&, const RecordingChoice&) = default;
};

// By bundle identifier.
using RecordingChoices = std::map<std::string, RecordingChoice>;

class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    // --- Properties -------------------------------------------------------------------------
    // Size in bytes of the property's value: 4 per id for id lists, 4 for 32-bit values, 8 for
    // doubles and for strings (a string reference). For "stm#" the size is 4 per stream, so 0
    // means the device has no stream in that scope.
    virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         std::uint32_t& outSize) = 0;

    virtual OSStatus getPropertyUInt32(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::uint32_t& outValue) = 0;
    // Signed values are the same 32 bits read as unsigned.
    virtual OSStatus getPropertyInt32(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address,
                                      std::int32_t& outValue);
    virtual OSStatus getPropertyFloat64(AudioObjectID object,
                                        const AudioObjectPropertyAddress& address,
                                        double& outValue) = 0;
    virtual OSStatus getPropertyString(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::string& outValue) = 0;
    // On entry ioIDs.size() is the capacity the caller made room for (its elements zeroed); on
    // success the implementation writes at most that many ids and shrinks the vector to the
    // number written. On failure ioIDs is left as it was.
    virtual OSStatus getPropertyObjectIDs(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          std::vector<AudioObjectID>& ioIDs) = 0;

    virtual OSStatus setPropertyUInt32(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       std::uint32_t value) = 0;

    // --- Listeners --------------------------------------------------------------------------
    // The proc is called on a thread of the service, never on the thread that caused the change,
    // after the property changed. Removing returns only once no call of that (proc, clientData)
    // pair is in progress; none starts afterwards.
    virtual OSStatus addPropertyListener(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         AudioObjectPropertyListenerProc proc,
                                         void* clientData) = 0;
    virtual OSStatus removePropertyListener(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            AudioObjectPropertyListenerProc proc,
                                            void* clientData) = 0;

    // --- Process taps -----------------------------------------------------------------------
    virtual OSStatus createProcessTap(const CATapDescription& description,
                                      AudioObjectID& outTapID) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;

    // --- Aggregate devices ------------------------------------------------------------------
    // An aggregate's IO blocks get one buffer per tap channel as input and as output; what they
    // write plays on the sub-device by channel position, mixed the way the service mixes any
    // stream of that layout on that device.
    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID& outDeviceID) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

    // --- Device I/O -------------------------------------------------------------------------
    virtual OSStatus createIOProcID(AudioObjectID deviceID, AudioDeviceIOBlock block,
                                    AudioDeviceIOProcID& outIOProcID) = 0;
    virtual OSStatus deviceStart(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) = 0;
    // Returns only once the block is no longer running; it is never called again afterwards.
    virtual OSStatus deviceStop(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID ioProcID) = 0;

    // --- Level monitors ---------------------------------------------------------------------
    // A monitor measures what one application (a process object, listed or not) plays, on every
    // stream and wherever it plays, before the device's volume. It moves, wakes and holds nothing:
    // it measures only in cycles that run anyway. A service that cannot monitor answers
    // kAudioHardwareUnsupportedOperationError.
    virtual OSStatus createLevelMonitor(AudioObjectID processObjectID, AudioObjectID& outMonitorID);
    virtual OSStatus destroyLevelMonitor(AudioObjectID monitorID);

    // --- Call mix ---------------------------------------------------------------------------
    // Makes, changes or removes the call mix; the device list's listeners hear when it is listed
    // or gone. A service without one answers kAudioHardwareUnsupportedOperationError.
    virtual OSStatus setCallMix(const CallMixSettings& settings);

    // --- Recording applications -------------------------------------------------------------
    // The applications recording now, by bundle identifier. A service that cannot list them
    // answers kAudioHardwareUnsupportedOperationError.
    virtual OSStatus recordingApplications(std::vector<RecordingApplication>& outApplications);
    // Every application's choice: held on each of its capture streams, now and as new ones come,
    // until handed in again; an application left out, or neutral, records untouched (streams we
    // held are given back to where they recorded before). Clears their chosenElsewhere.
    virtual OSStatus setRecordingChoices(const RecordingChoices& choices);
};

// An id list read the way the interface asks for it: its size, then that many ids. Nothing when
// either read fails.
std::optional<std::vector<AudioObjectID>> readObjectIDs(AudioHardware& hardware,
                                                        AudioObjectID object,
                                                        const AudioObjectPropertyAddress& address);

} // namespace kestrelamp::hal
