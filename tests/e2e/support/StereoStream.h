#pragma once

// The streams of the end-to-end players and meters: 48 kHz stereo 32-bit float, linked by the
// session manager.

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <cstdint>

namespace kestrelamp::e2e {

// Events of a stream that only handles buffers.
inline pw_stream_events processEvents(void (*process)(void*)) {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.process = process;
    return events;
}

// With the thread loop locked.
inline int connectStereoStream(pw_stream* stream, pw_direction direction) {
    std::uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = 48000;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    return pw_stream_connect(
        stream, direction, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
}

} // namespace kestrelamp::e2e
