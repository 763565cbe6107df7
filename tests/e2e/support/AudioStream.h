#pragma once

// The streams of the end-to-end players and meters: 32-bit float, 48 kHz stereo unless they say
// otherwise, linked by the session manager.

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrelamp::e2e {

inline std::uint32_t channelPosition(const std::string& name) {
    for (const spa_type_info* info = spa_type_audio_channel; info->name != nullptr; ++info) {
        if (name == spa_debug_type_short_name(info->name)) {
            return info->type;
        }
    }
    return SPA_AUDIO_CHANNEL_UNKNOWN;
}

// Events of a stream that only handles buffers.
inline pw_stream_events processEvents(void (*process)(void*)) {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.process = process;
    return events;
}

// With the thread loop locked. Positions are PipeWire's channel names ("FL", "LFE", ...).
inline int connectAudioStream(pw_stream* stream, pw_direction direction,
                              const std::vector<std::string>& positions = {"FL", "FR"},
                              std::uint32_t rate = 48000) {
    std::uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = std::uint32_t(positions.size());
    for (std::size_t i = 0; i < positions.size() && i < SPA_AUDIO_MAX_CHANNELS; ++i) {
        info.position[i] = channelPosition(positions[i]);
    }
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    return pw_stream_connect(
        stream, direction, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
}

} // namespace kestrelamp::e2e
