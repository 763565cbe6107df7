#include "engine/EQProcessor.h"

#include "engine/RenderCycle.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kestrelamp {
namespace {

float nominalSampleRate(hal::AudioHardware& hardware, hal::AudioObjectID deviceID) {
    double rate = hal::kFallbackEngineSampleRate;
    const hal::OSStatus status = hardware.getPropertyFloat64(
        deviceID, hal::globalAddress(hal::kAudioDevicePropertyNominalSampleRate), rate);
    // A rate of 0 would make every band unusable; treat it like a failed read.
    if (status != hal::noErr || !std::isfinite(rate) || rate <= 0.0) {
        return float(hal::kFallbackEngineSampleRate);
    }
    return float(rate);
}

} // namespace

std::string EQProcessorError::description() const {
    switch (kind) {
    case Kind::unitCreationFailed:
        return "Failed to create audio unit: " + hal::statusDescription(status);
    case Kind::configurationFailed:
        return "Audio config failed at '" + stage + "': " + hal::statusDescription(status);
    case Kind::componentNotFound:
        break;
    }
    return "Audio component not found";
}

EQProcessor::EQProcessor(hal::AudioHardware& hardware)
    : hardware_(hardware) {
    levelTimer_.setInterval(kLevelDeliveryIntervalMs);
    QObject::connect(&levelTimer_, &QTimer::timeout, [this] { deliverLevels(); });
}

EQProcessor::~EQProcessor() {
    stopAll();
}

Expected<void, EQProcessorError>
EQProcessor::startProcessing(const std::string& key, hal::AudioObjectID aggregateDeviceID) {
    stopProcessing(key);

    auto engine = std::make_shared<EngineState>(aggregateDeviceID,
                                                nominalSampleRate(hardware_, aggregateDeviceID));
    engines_[key] = engine;

    // The block holds the engine by address: the engine is released only after deviceStop has
    // returned and the IO proc is destroyed, so the audio thread never sees it go.
    EngineState* state = engine.get();
    hal::AudioDeviceIOProcID ioProcID = hal::kAudioDeviceIOProcIDNone;
    const hal::OSStatus createStatus = hardware_.createIOProcID(
        aggregateDeviceID,
        [state](const hal::AudioIOCycle& cycle, const hal::AudioBufferList& input,
                hal::AudioBufferList& output) { renderCycle(*state, cycle, input, output); },
        ioProcID);
    if (createStatus != hal::noErr || ioProcID == hal::kAudioDeviceIOProcIDNone) {
        engines_.erase(key);
        return unexpected(EQProcessorError::configurationFailed("create IO proc", createStatus));
    }
    engine->ioProcID = ioProcID;

    const hal::OSStatus startStatus = hardware_.deviceStart(aggregateDeviceID, ioProcID);
    if (startStatus != hal::noErr) {
        hardware_.destroyIOProcID(aggregateDeviceID, ioProcID);
        engines_.erase(key);
        return unexpected(EQProcessorError::configurationFailed("start device", startStatus));
    }
    updateLevelTimer();
    return {};
}

void EQProcessor::stopProcessing(const std::string& key) {
    const auto it = engines_.find(key);
    if (it == engines_.end()) {
        return;
    }
    std::shared_ptr<EngineState> engine = std::move(it->second);
    engines_.erase(it);
    stopEngine(std::move(engine));
}

void EQProcessor::stopAll() {
    auto stopping = std::move(engines_);
    engines_.clear();
    for (auto& [key, engine] : stopping) {
        stopEngine(std::move(engine));
    }
}

void EQProcessor::stopEngine(std::shared_ptr<EngineState> engine) {
    engine->isStopped = true;
    if (engine->ioProcID) {
        hardware_.deviceStop(engine->aggregateDeviceID, *engine->ioProcID);
        hardware_.destroyIOProcID(engine->aggregateDeviceID, *engine->ioProcID);
    }
    updateLevelTimer();
}

void EQProcessor::setLevelsWanted(bool wanted) {
    if (wanted == levelsWanted_) {
        return;
    }
    levelsWanted_ = wanted;
    if (wanted) {
        for (const auto& [key, engine] : engines_) {
            engine->levels.drain([](float) {});
            engine->quietDeliveries = 0;
        }
    }
    updateLevelTimer();
}

void EQProcessor::updateLevelTimer() {
    const bool running = levelsWanted_ && !engines_.empty();
    if (running && !levelTimer_.isActive()) {
        levelTimer_.start();
    } else if (!running) {
        levelTimer_.stop();
    }
}

void EQProcessor::applyPreset(const EQPreset& preset, const std::string& key) {
    EngineState* state = engine(key);
    if (!state) {
        return;
    }
    const std::size_t count = std::min(preset.bands.size(), kEQBandCount);
    std::copy_n(preset.bands.begin(), count, state->eqBands.begin());
    updateFilters(*state);
}

void EQProcessor::setBand(const std::string& key, int index, float gain) {
    EngineState* state = engine(key);
    if (!state || index < 0 || std::size_t(index) >= kEQBandCount || std::isnan(gain)) {
        return;
    }
    state->eqBands[std::size_t(index)] = std::clamp(gain, -kMaxBandGain, kMaxBandGain);
    updateFilters(*state);
}

void EQProcessor::updateFilters(EngineState& engine) {
    engine.publishedBands.publish(engine.eqBands);
    engine.eqEnabled.store(!areFlatGains(engine.eqBands), std::memory_order_relaxed);
}

EngineState* EQProcessor::engine(const std::string& key) {
    const auto it = engines_.find(key);
    return it == engines_.end() ? nullptr : it->second.get();
}

void EQProcessor::deliverLevels() {
    // A handler may stop engines, its own included, start new ones or replace itself: work on a
    // snapshot of the engines and a copy of each handler.
    delivering_.clear();
    for (const auto& [key, engine] : engines_) {
        delivering_.push_back(engine);
    }
    for (const auto& engine : delivering_) {
        std::function<void(float)> handler;
        bool delivered = false;
        engine->levels.drain([&](float level) {
            delivered = true;
            if (engine->isStopped) {
                return;
            }
            if (!handler) {
                handler = engine->levelHandler;
            }
            if (handler) {
                handler(level);
            }
        });
        if (delivered) {
            engine->quietDeliveries = 0;
            engine->saidSilence = false;
        } else if (++engine->quietDeliveries >= kQuietDeliveriesBeforeSilence &&
                   !engine->saidSilence && !engine->isStopped && engine->levelHandler) {
            engine->saidSilence = true;
            const auto silenceHandler = engine->levelHandler;
            silenceHandler(kSilentLevel);
        }
    }
    delivering_.clear();
}

} // namespace kestrelamp
