// A player that opens one more playback stream each time it gets SIGUSR1, all from one process,
// as an application with several sounds does. Stream n plays n times the frequency, so that the
// streams' powers add up whatever their phases.
//   kestrelamp_e2e_tone_player APP_ID APP_NAME FREQUENCY
// A frequency of 0 plays clicks instead: one full-scale sample wherever the graph clock is a
// multiple of 24000, so that a recording tells how long the way to the sink was.

#include "support/AudioStream.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<int> requested{1};
std::atomic<bool> quitting{false};

constexpr std::uint64_t kClickPeriod = 24000;

struct Tone {
    pw_stream* stream = nullptr;
    bool clicks = false;
    double phase = 0.0;
    double step = 0.0;
};

void onProcess(void* data) {
    auto* tone = static_cast<Tone*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(tone->stream);
    if (buffer == nullptr) {
        return;
    }
    spa_data& d = buffer->buffer->datas[0];
    auto* samples = static_cast<float*>(d.data);
    if (samples != nullptr) {
        std::uint32_t frames = d.maxsize / (2 * sizeof(float));
        if (buffer->requested != 0 && buffer->requested < frames) {
            frames = std::uint32_t(buffer->requested);
        }
        pw_time time{};
        pw_stream_get_time_n(tone->stream, &time, sizeof(time));
        for (std::uint32_t i = 0; i < frames; ++i) {
            float value = float(0.5 * std::sin(tone->phase));
            if (tone->clicks) {
                value = (std::uint64_t(time.ticks) + i) % kClickPeriod == 0 ? 1.0f : 0.0f;
            }
            tone->phase = std::fmod(tone->phase + tone->step, 2.0 * std::numbers::pi);
            samples[2 * i] = value;
            samples[2 * i + 1] = value;
        }
        d.chunk->offset = 0;
        d.chunk->stride = 2 * sizeof(float);
        d.chunk->size = frames * 2 * sizeof(float);
    }
    pw_stream_queue_buffer(tone->stream, buffer);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s APP_ID APP_NAME FREQUENCY\n", argv[0]);
        return 2;
    }
    std::signal(SIGUSR1, [](int) { requested.fetch_add(1); });
    std::signal(SIGTERM, [](int) { quitting.store(true); });
    pw_init(&argc, &argv);
    pw_thread_loop* loop = pw_thread_loop_new("tone-player", nullptr);
    pw_thread_loop_start(loop);
    static const pw_stream_events events = kestrelamp::e2e::processEvents(&onProcess);
    std::vector<Tone*> tones;
    while (!quitting.load()) {
        while (int(tones.size()) < requested.load()) {
            auto* tone = new Tone;
            tone->clicks = std::atof(argv[3]) == 0.0;
            tone->step =
                2.0 * std::numbers::pi * std::atof(argv[3]) * double(tones.size() + 1) / 48000.0;
            pw_thread_loop_lock(loop);
            pw_properties* props = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
                "Music", PW_KEY_APP_ID, argv[1], PW_KEY_APP_NAME, argv[2], nullptr);
            tone->stream =
                pw_stream_new_simple(pw_thread_loop_get_loop(loop), "tone", props, &events, tone);
            kestrelamp::e2e::connectAudioStream(tone->stream, PW_DIRECTION_OUTPUT);
            pw_thread_loop_unlock(loop);
            tones.push_back(tone);
            std::printf("streams=%zu\n", tones.size());
            std::fflush(stdout);
        }
        ::usleep(10000);
    }
    pw_thread_loop_lock(loop);
    for (Tone* tone : tones) {
        pw_stream_destroy(tone->stream);
        delete tone;
    }
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    pw_thread_loop_destroy(loop);
    return 0;
}
