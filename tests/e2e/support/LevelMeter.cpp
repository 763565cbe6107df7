#include "LevelMeter.h"

#include "AudioStream.h"
#include "PipeWireSession.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <numbers>

namespace kestrelamp::e2e {

double dbfs(double rms) {
    return 20.0 * std::log10(std::max(rms, 1e-6));
}

namespace {

template <class Iterator>
double rmsDbfs(Iterator begin, Iterator end) {
    double sum = 0.0;
    for (auto it = begin; it != end; ++it) {
        sum += double(*it) * *it;
    }
    return dbfs(std::sqrt(sum / double(end - begin)));
}

std::vector<float> channelOf(const std::vector<float>& interleaved, std::size_t channels,
                             std::size_t channel) {
    std::vector<float> samples;
    for (std::size_t i = channel; i < interleaved.size(); i += channels) {
        samples.push_back(interleaved[i]);
    }
    return samples;
}

// A Hann-windowed DFT bin; the window's coherent gain of 1/2 is undone, so a sine of amplitude
// A reads as A/√2 RMS whatever its phase.
double sineDbfs(const std::vector<float>& samples, double frequency, double rate) {
    const double n = double(samples.size());
    double re = 0.0;
    double im = 0.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / n);
        const double angle = 2.0 * std::numbers::pi * frequency * double(i) / rate;
        re += window * samples[i] * std::cos(angle);
        im -= window * samples[i] * std::sin(angle);
    }
    const double amplitude = 2.0 * std::sqrt(re * re + im * im) / (n * 0.5);
    return dbfs(amplitude / std::sqrt(2.0));
}

} // namespace

// Runs on its own thread loop, outside of the real-time path: a lock is fine here.
class LevelMeter::Impl {
public:
    Impl(const std::string& sinkName, MeterFormat format)
        : channels_(std::max<std::size_t>(format.positions.size(), 1))
        , rate_(format.rate) {
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("e2e-meter", nullptr);
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE,
            "Music", PW_KEY_TARGET_OBJECT, sinkName.c_str(), PW_KEY_STREAM_CAPTURE_SINK,
            format.source ? "false" : "true", PW_KEY_APP_ID, "org.kestrelamp.e2e.Meter",
            PW_KEY_NODE_NAME, "e2e-meter", "node.dont-reconnect", "true", nullptr);
        // Asks the graph for its rate, as a player of that rate does, so that a meter that starts
        // an idle sink does not hold it at another.
        pw_properties_setf(props, PW_KEY_NODE_RATE, "1/%u", format.rate);
        static const pw_stream_events events = processEvents(&Impl::onProcess);
        pw_thread_loop_lock(loop_);
        pw_thread_loop_start(loop_);
        stream_ =
            pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "e2e-meter", props, &events, this);
        connectAudioStream(stream_, PW_DIRECTION_INPUT, format.positions, format.rate);
        pw_thread_loop_unlock(loop_);
    }

    ~Impl() {
        pw_thread_loop_lock(loop_);
        pw_stream_destroy(stream_);
        pw_thread_loop_unlock(loop_);
        pw_thread_loop_stop(loop_);
        pw_thread_loop_destroy(loop_);
    }

    static void onProcess(void* data) {
        auto* self = static_cast<Impl*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
        if (buffer == nullptr) {
            return;
        }
        pw_time time{};
        pw_stream_get_time_n(self->stream_, &time, sizeof(time));
        spa_data& d = buffer->buffer->datas[0];
        if (d.data != nullptr && d.chunk != nullptr) {
            const auto* samples = reinterpret_cast<const float*>(
                static_cast<const std::uint8_t*>(d.data) + d.chunk->offset);
            const std::size_t count = d.chunk->size / sizeof(float);
            std::lock_guard lock(self->mutex_);
            self->cycleStarts_.push_back(
                {self->samples_.size() / self->channels_, time.now, std::uint64_t(time.ticks)});
            self->samples_.insert(self->samples_.end(), samples, samples + count);
            self->quantum_ = std::uint32_t(count / self->channels_);
        }
        pw_stream_queue_buffer(self->stream_, buffer);
    }

    // Interleaved frames received since `from`, once at least `frames` are there.
    std::optional<std::vector<float>> framesAfter(std::uint64_t from, std::uint32_t frames,
                                                  int timeoutMs) {
        std::vector<float> result;
        const bool arrived = pollUntil(
            [&] {
                std::lock_guard lock(mutex_);
                if (samples_.size() / channels_ < from + frames) {
                    return false;
                }
                result.assign(samples_.begin() + std::ptrdiff_t(from * channels_),
                              samples_.begin() + std::ptrdiff_t((from + frames) * channels_));
                return true;
            },
            timeoutMs);
        return arrived ? std::optional(result) : std::nullopt;
    }

    std::optional<double> recent(std::uint32_t frames) {
        std::lock_guard lock(mutex_);
        const std::size_t count =
            std::min<std::size_t>(samples_.size(), std::size_t(frames) * channels_);
        if (count == 0) {
            return std::nullopt;
        }
        return rmsDbfs(samples_.end() - std::ptrdiff_t(count), samples_.end());
    }

    // The level of the sine in each channel of the samples.
    std::optional<std::vector<double>> toneLevels(const std::optional<std::vector<float>>& samples,
                                                  double frequency) const {
        if (!samples) {
            return std::nullopt;
        }
        std::vector<double> levels;
        for (std::size_t c = 0; c < channels_; ++c) {
            levels.push_back(sineDbfs(channelOf(*samples, channels_, c), frequency, double(rate_)));
        }
        return levels;
    }

    // The last `frames` interleaved frames, once that many came.
    std::optional<std::vector<float>> last(std::uint32_t frames) {
        std::lock_guard lock(mutex_);
        const std::size_t count = std::size_t(frames) * channels_;
        if (samples_.size() < count) {
            return std::nullopt;
        }
        return std::vector<float>(samples_.end() - std::ptrdiff_t(count), samples_.end());
    }

    std::uint64_t received() {
        std::lock_guard lock(mutex_);
        return samples_.size() / channels_;
    }

    // Each cycle's own clock: a cycle the meter missed shifts nothing after it.
    std::optional<std::uint64_t> clockOf(std::uint64_t frame) {
        std::lock_guard lock(mutex_);
        const CycleStart* cycle = cycleOf(frame);
        return cycle ? std::optional(cycle->ticks + (frame - cycle->frame)) : std::nullopt;
    }

    std::optional<std::int64_t> timeOf(std::uint64_t frame) {
        std::lock_guard lock(mutex_);
        const CycleStart* cycle = cycleOf(frame);
        if (cycle == nullptr) {
            return std::nullopt;
        }
        return cycle->monotonicNs + std::int64_t((frame - cycle->frame) * 1000000000ull / rate_);
    }

    const std::size_t channels_;
    const std::uint32_t rate_;

private:
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    std::mutex mutex_;
    std::vector<float> samples_;
    struct CycleStart {
        std::uint64_t frame = 0;
        std::int64_t monotonicNs = 0;
        // The graph clock position of its first frame.
        std::uint64_t ticks = 0;
    };
    // With the lock held; nothing for a frame not received yet.
    const CycleStart* cycleOf(std::uint64_t frame) const {
        if (frame >= samples_.size() / channels_ || cycleStarts_.empty()) {
            return nullptr;
        }
        const auto after =
            std::upper_bound(cycleStarts_.begin(), cycleStarts_.end(), frame,
                             [](std::uint64_t f, const CycleStart& c) { return f < c.frame; });
        return &*std::prev(after);
    }
    std::vector<CycleStart> cycleStarts_;

public:
    std::uint32_t quantum_ = 0;
};

LevelMeter::LevelMeter(const std::string& sinkName, MeterFormat format)
    : impl_(std::make_unique<Impl>(sinkName, std::move(format))) {}

LevelMeter::~LevelMeter() = default;

std::optional<double> LevelMeter::recentDbfs(std::uint32_t frames) const {
    return impl_->recent(frames);
}

std::optional<std::vector<double>> LevelMeter::recentToneDbfs(double frequency,
                                                              std::uint32_t frames) const {
    return impl_->toneLevels(impl_->last(frames), frequency);
}

std::uint32_t LevelMeter::quantum() const {
    return impl_->quantum_;
}

std::uint64_t LevelMeter::framesReceived() const {
    return impl_->received();
}

std::optional<double> LevelMeter::measureDbfs(std::uint32_t frames, int timeoutMs) {
    const auto samples = impl_->framesAfter(impl_->received(), frames, timeoutMs);
    if (!samples) {
        return std::nullopt;
    }
    return rmsDbfs(samples->begin(), samples->end());
}

std::optional<std::vector<double>> LevelMeter::toneDbfs(double frequency, std::uint32_t frames,
                                                        int timeoutMs) {
    return impl_->toneLevels(impl_->framesAfter(impl_->received(), frames, timeoutMs), frequency);
}

std::optional<std::vector<float>> LevelMeter::framesSince(std::uint64_t mark, std::uint32_t frames,
                                                          int timeoutMs) {
    const auto samples = impl_->framesAfter(mark, frames, timeoutMs);
    if (!samples) {
        return std::nullopt;
    }
    return channelOf(*samples, impl_->channels_, 0);
}

std::optional<std::int64_t> LevelMeter::frameTime(std::uint64_t frame) const {
    return impl_->timeOf(frame);
}

std::optional<std::uint64_t> LevelMeter::clockPosition(std::uint64_t frame) const {
    return impl_->clockOf(frame);
}

namespace {

// Measures until done(level, previous level) holds or the time is up; returns the last level.
double pollLevel(LevelMeter& meter, int timeoutMs, std::uint32_t frames, double missing,
                 const std::function<bool(double, double)>& done) {
    double level = missing;
    pollUntil(
        [&] {
            const double previous = level;
            level = meter.measureDbfs(frames).value_or(missing);
            return done(level, previous);
        },
        timeoutMs);
    return level;
}

} // namespace

double settledLevel(LevelMeter& meter, const std::function<bool(double)>& wanted, int timeoutMs,
                    std::uint32_t frames) {
    return pollLevel(meter, timeoutMs, frames, -120.0,
                     [&](double level, double) { return wanted(level); });
}

double steadyLevel(LevelMeter& meter, const std::function<bool(double)>& wanted, int timeoutMs,
                   std::uint32_t frames) {
    return pollLevel(meter, timeoutMs, frames, -120.0, [&](double level, double previous) {
        return wanted(level) && std::abs(level - previous) < 0.1;
    });
}

double audibleLevel(LevelMeter& meter, int timeoutMs, std::uint32_t frames) {
    settledLevel(
        meter, [](double level) { return level > kAudible; }, timeoutMs, frames);
    return steadyLevel(
        meter, [](double) { return true; }, timeoutMs, frames);
}

double toneLevel(LevelMeter& meter, double frequency) {
    const auto levels = meter.toneDbfs(frequency);
    return levels && !levels->empty() ? *std::max_element(levels->begin(), levels->end()) : -120.0;
}

double steadyTone(LevelMeter& meter, double frequency, int timeoutMs) {
    double level = -120.0;
    pollUntil(
        [&] {
            const double previous = level;
            level = toneLevel(meter, frequency);
            return level > kAudible && std::abs(level - previous) < 0.2;
        },
        timeoutMs);
    return level;
}

double silentLevel(LevelMeter& meter, int timeoutMs) {
    return pollLevel(meter, timeoutMs, 4800, 0.0,
                     [](double level, double) { return level < kSilent; });
}

double levelNear(LevelMeter& meter, double expected, double tolerance, int timeoutMs) {
    return settledLevel(
        meter, [&](double level) { return std::abs(level - expected) < tolerance; }, timeoutMs);
}

bool playsOnlyOn(LevelMeter& where, double level, const std::vector<LevelMeter*>& silent,
                 double tolerance, int timeoutMs) {
    bool ok = std::abs(levelNear(where, level, tolerance, timeoutMs) - level) < tolerance;
    for (LevelMeter* meter : silent) {
        ok = silentLevel(*meter, timeoutMs) < kSilent && ok;
    }
    return ok;
}

namespace {

// 50 ms for the whole sound; 100 ms for one tone, so that the others' leakage into its bin stays
// far below silence.
constexpr std::uint32_t kSoundWindow = 2400;
constexpr std::uint32_t kToneWindow = 4800;

// The levels the check listens to in the most recent frames, one per channel (one for the whole
// sound); nothing until a whole window came after the mark.
std::optional<std::vector<double>> recentLevels(const LevelMeter& meter, std::uint64_t mark,
                                                const Listening& listening) {
    const std::uint32_t window = listening.frequency ? kToneWindow : kSoundWindow;
    if (meter.framesReceived() < mark + window) {
        return std::nullopt;
    }
    if (listening.frequency) {
        return meter.recentToneDbfs(*listening.frequency, window);
    }
    const auto level = meter.recentDbfs(window);
    return level ? std::optional(std::vector<double>{*level}) : std::nullopt;
}

} // namespace

std::int64_t msUntilOnlyOn(const QElapsedTimer& since, LevelMeter& where, double level,
                           const std::vector<LevelMeter*>& silent, const Listening& listening) {
    // What came before the call says nothing about what plays now.
    const std::uint64_t whereMark = where.framesReceived();
    std::vector<std::uint64_t> silentMarks;
    for (const LevelMeter* meter : silent) {
        silentMarks.push_back(meter->framesReceived());
    }
    const bool done = pollUntil(
        [&] {
            const auto heard = recentLevels(where, whereMark, listening);
            if (!heard || std::any_of(heard->begin(), heard->end(), [&](double l) {
                    return std::abs(l - level) >= listening.tolerance;
                })) {
                return false;
            }
            for (std::size_t i = 0; i < silent.size(); ++i) {
                const auto other = recentLevels(*silent[i], silentMarks[i], listening);
                if (!other || std::any_of(other->begin(), other->end(),
                                          [](double l) { return l >= kSilent; })) {
                    return false;
                }
            }
            return true;
        },
        listening.timeoutMs);
    return done ? since.elapsed() : -1;
}

namespace {

std::vector<float> everythingSince(LevelMeter& meter, std::uint64_t mark) {
    const std::uint64_t received = meter.framesReceived();
    const auto samples =
        received > mark ? meter.framesSince(mark, std::uint32_t(received - mark)) : std::nullopt;
    return samples.value_or(std::vector<float>{});
}

} // namespace

double msOfSoundSince(LevelMeter& meter, std::uint64_t mark, double amplitude) {
    double energy = 0.0;
    for (const float sample : everythingSince(meter, mark)) {
        energy += double(sample) * sample;
    }
    // A sine's mean square is amplitude²/2; 48 frames a millisecond.
    return energy / (amplitude * amplitude / 2.0 * 48.0);
}

float peakSince(LevelMeter& meter, std::uint64_t mark) {
    float peak = 0.0f;
    for (const float sample : everythingSince(meter, mark)) {
        peak = std::max(peak, std::abs(sample));
    }
    return peak;
}

double measured(const std::string& what, double figure) {
    std::printf("[ measure  ] %s: %.1f\n", what.c_str(), figure);
    return figure;
}

// Where a click lands on a sink, as a graph clock position modulo the click period.
std::optional<std::int64_t> clickPhase(LevelMeter& meter) {
    std::optional<std::int64_t> phase;
    pollUntil(
        [&] {
            const std::uint64_t mark = meter.framesReceived();
            const auto samples = meter.framesSince(mark, 24000);
            for (std::size_t i = 0; samples && i < samples->size(); ++i) {
                if ((*samples)[i] > 0.5f) {
                    phase = std::int64_t(meter.clockPosition(mark + i).value_or(0) % 24000);
                    return true;
                }
            }
            return false;
        },
        5000);
    return phase;
}

} // namespace kestrelamp::e2e
