#pragma once

// The render engines: one IO proc per route on the route's aggregate device, applying the
// equalizer, the gain and the mute to the tapped audio and metering the result.

#include "engine/Biquad.h"
#include "engine/EQPreset.h"
#include "engine/LatestValue.h"
#include "engine/LevelQueue.h"
#include "engine/RenderCycle.h"
#include "engine/hal/AudioHardware.h"
#include "platform/Expected.h"

#include <QTimer>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrelamp {

inline constexpr std::size_t kEQChannelBanks = 8;
inline constexpr float kSilentLevel = -96.0f;
// A band's gain in dB is limited to ±this.
inline constexpr float kMaxBandGain = 24.0f;

// One route's engine. The atomics and publishedBands are shared with the audio thread; render
// and filters belong to the render cycle; everything else is the main thread's.
struct EngineState {
    EngineState(hal::AudioObjectID aggregateDeviceID, float sampleRate)
        : aggregateDeviceID(aggregateDeviceID)
        , sampleRate(sampleRate) {}
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    const hal::AudioObjectID aggregateDeviceID;
    // The device's rate when the engine started; the equalizer runs at the rate of each cycle and
    // uses this one only until it has seen a usable one.
    const float sampleRate;
    std::optional<hal::AudioDeviceIOProcID> ioProcID;
    std::atomic<float> volume{1.0f};
    std::atomic<bool> isMuted{false};
    BandGains eqBands{};
    // True when at least one of eqBands is not flat.
    std::atomic<bool> eqEnabled{false};
    std::atomic<float> currentLevel{kSilentLevel};
    // Called on the main thread with every level, in cycle order.
    std::function<void(float)> levelHandler;
    // eqBands as the audio thread takes them: always a whole curve.
    LatestValue<BandGains> publishedBands;
    RenderState render;
    // Buffers 0 to 6 have a bank each; buffer 7 and every one after it share the last bank.
    std::array<BiquadBank, kEQChannelBanks> filters{};
    LevelQueue levels;
    // Set once the engine has left the processor, so that no level is delivered after that.
    bool isStopped = false;
    // Main thread: deliveries in a row that found no level, and whether silence was said since.
    int quietDeliveries = 0;
    bool saidSilence = false;
};

struct EQProcessorError {
    enum class Kind { unitCreationFailed, configurationFailed, componentNotFound };

    static EQProcessorError unitCreationFailed(hal::OSStatus status) {
        return {Kind::unitCreationFailed, {}, status};
    }
    static EQProcessorError configurationFailed(std::string stage, hal::OSStatus status) {
        return {Kind::configurationFailed, std::move(stage), status};
    }
    static EQProcessorError componentNotFound() { return {Kind::componentNotFound, {}, 0}; }

    std::string description() const;

    Kind kind = Kind::componentNotFound;
    std::string stage;
    hal::OSStatus status = 0;

    friend bool operator==(const EQProcessorError&, const EQProcessorError&) = default;
};

// Owns every engine, keyed by route key. Main thread only.
class EQProcessor {
public:
    explicit EQProcessor(hal::AudioHardware& hardware);
    ~EQProcessor();
    EQProcessor(const EQProcessor&) = delete;
    EQProcessor& operator=(const EQProcessor&) = delete;

    // Replaces any engine under key. A failure leaves no engine and no IO proc under key.
    Expected<void, EQProcessorError> startProcessing(const std::string& key,
                                                     hal::AudioObjectID aggregateDeviceID);
    // Once this returns no render cycle of that engine runs any more.
    void stopProcessing(const std::string& key);
    void stopAll();

    // Band i takes the preset's gain i; bands the preset does not reach keep theirs.
    void applyPreset(const EQPreset& preset, const std::string& key);
    // Gains are limited to ±24 dB; indices outside 0 … 9 and gains that are not numbers are
    // ignored.
    void setBand(const std::string& key, int index, float gain);
    // Hands eqBands to the audio thread, which fades to the new curve; eqEnabled when any band
    // is not flat.
    static void updateFilters(EngineState& engine);

    // For setting volume, isMuted and levelHandler; nothing for a key without an engine.
    EngineState* engine(const std::string& key);
    const std::map<std::string, std::shared_ptr<EngineState>>& engines() const { return engines_; }

    // Hands every pending level to its engine's levelHandler. Runs on a timer while engines exist
    // and levels are wanted.
    void deliverLevels();
    // While nobody shows or asks for levels they are not drained, so the main thread does not
    // wake for them; once wanted again, the levels measured meanwhile are dropped as stale.
    void setLevelsWanted(bool wanted);
    bool levelsWanted() const { return levelsWanted_; }

    static constexpr int kLevelDeliveryIntervalMs = 16;
    // An engine whose device stopped calling it (nothing plays into its route) is reported silent
    // after that many deliveries without a level, once.
    static constexpr int kQuietDeliveriesBeforeSilence = 8;

private:
    void stopEngine(std::shared_ptr<EngineState> engine);
    void updateLevelTimer();

    hal::AudioHardware& hardware_;
    std::map<std::string, std::shared_ptr<EngineState>> engines_;
    std::vector<std::shared_ptr<EngineState>> delivering_;
    QTimer levelTimer_;
    bool levelsWanted_ = true;
};

} // namespace kestrelamp
