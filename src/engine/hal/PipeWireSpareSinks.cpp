#include "engine/hal/PipeWireHardwareImpl.h"

#include <algorithm>

namespace kestrelamp::hal {

namespace {

bool isSpare(const PipeWireAudioHardware::Impl::CaptureSink& sink) {
    return sink.processKey.empty();
}

} // namespace

// A spare the session manager has made ready (its monitor ports are there) becomes the
// application's sink at once, instead of a node that would first be set up.
PipeWireAudioHardware::Impl::CaptureSink*
PipeWireAudioHardware::Impl::takeSpareSink(const ProcessEntry& process, bool mixdown,
                                           const ChannelLayout& channels) {
    for (auto& [serial, sink] : sinks_) {
        if (isSpare(*sink) && sink->proxy != nullptr && !sink->failed &&
            sink->nodeID != SPA_ID_INVALID && sink->channels == channels &&
            portsOf(sink->nodeID, "out", true).size() == channels.size()) {
            sink->processKey = process.key;
            sink->mixdown = mixdown;
            return sink.get();
        }
    }
    return nullptr;
}

void PipeWireAudioHardware::Impl::setSpareSinks(std::uint32_t count) {
    wantedSpareSinks_ = std::min(count, kMostSpareSinks);
    changedSoon();
}

void PipeWireAudioHardware::Impl::putOffSpareSinks() {
    spareSinksAfter_ =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSpareSinksAfterMs);
    armTimer(spareTimer_, kSpareSinksAfterMs);
}

// Made only a while after the last tap, so that they never slow the session manager down while
// it sets up routes; one the server refused is made again then.
void PipeWireAudioHardware::Impl::keepSpareSinks() {
    std::uint32_t spares = 0;
    for (auto it = sinks_.begin(); it != sinks_.end();) {
        if (isSpare(*it->second) && (spares >= wantedSpareSinks_ || it->second->failed)) {
            if (it->second->failed) {
                putOffSpareSinks();
            }
            stopSink(*it->second, false);
            it = sinks_.erase(it);
            continue;
        }
        spares += isSpare(*it->second) ? 1 : 0;
        ++it;
    }
    if (!connected() || std::chrono::steady_clock::now() < spareSinksAfter_) {
        return;
    }
    static const ChannelLayout stereo{ChannelPosition::FL, ChannelPosition::FR};
    for (; spares < wantedSpareSinks_; ++spares) {
        makeSink("", "Kestrelamp tap", true, stereo);
    }
}

} // namespace kestrelamp::hal
