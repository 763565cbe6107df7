// The channel matrices against what PipeWire 0.3.65 measurably does to an unrouted stream on a
// sink of another layout (private server, white noise per channel, transfer function per channel
// pair from the sink's monitor), and the real-time mixer that applies them.

#include "engine/hal/ChannelMix.h"

#include "AllocationWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <sstream>

namespace kestrelamp::hal {
namespace {

using P = ChannelPosition;
using Shaping = ChannelMatrix::Shaping;

ChannelLayout layout(const char* text) {
    const auto parsed = parseChannelLayout(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(ChannelLayout{});
}

// What one destination channel got from one source channel, in dB; "-SRC" is a source that
// arrived with its polarity inverted. The LFE's figures are its level at 20 Hz.
struct Measured {
    const char* from;
    const char* to;
    const char* gains;   // "DST<SRC dB, …"; every pair not listed measured below −100 dB
    const char* shaping; // "DST:c" centre low-pass, "DST:l" LFE low-pass, "DST:d" delayed
};

const Measured kMeasured[] = {
    {"FL,FR", "FL,FR,FC,LFE,RL,RR",
     "FL<FL 0, FR<FR 0, FC<FL -9.0, FC<FR -9.0, LFE<FL -12.0, LFE<FR -12.2, RL<FL -3.01, "
     "RL<-FR -3.01, RR<-FL -3.01, RR<FR -3.01",
     "FC:c LFE:l RL:d RR:d"},
    {"FL,FR", "MONO", "MONO<FL -3.01, MONO<FR -3.01", ""},
    {"MONO", "FL,FR", "FL<MONO 0, FR<MONO 0", ""},
    {"MONO", "FL,FR,FC,LFE,RL,RR",
     "FL<MONO 0, FR<MONO 0, FC<MONO 0, LFE<MONO 0, RL<MONO 0, RR<MONO 0", "FC:c LFE:l"},
    {"FL,FR,FC,LFE,RL,RR", "FL,FR",
     "FL<FL 0, FR<FR 0, FL<FC -3.01, FR<FC -3.01, FL<LFE -9.03, FR<LFE -9.03, FL<RL -3.01, "
     "FR<RR -3.01",
     ""},
    {"FL,FR,FC,LFE,RL,RR", "MONO",
     "MONO<FL -3.01, MONO<FR -3.01, MONO<FC 0, MONO<LFE -6.02, MONO<RL -6.02, MONO<RR -6.02", ""},
    {"FL,FR,FC,LFE,RL,RR", "FL,FR,FC,LFE,RL,RR",
     "FL<FL 0, FR<FR 0, FC<FC 0, LFE<LFE 0, RL<RL 0, RR<RR 0", ""},
    {"FL,FR,FC,LFE,RL,RR,SL,SR", "FL,FR,FC,LFE,RL,RR",
     "FL<FL 0, FR<FR 0, FC<FC 0, LFE<LFE 0, RL<RL 0, RR<RR 0, RL<SL -3.01, RR<SR -3.01", ""},
    {"FL,FR,RL,RR", "FL,FR", "FL<FL 0, FR<FR 0, FL<RL -3.01, FR<RR -3.01", ""},
    {"FL,FR", "FL,FR,FC,LFE,RL,RR,SL,SR",
     "FL<FL 0, FR<FR 0, FC<FL -9.0, FC<FR -9.0, LFE<FL -12.0, LFE<FR -12.2, RL<FL -3.01, "
     "RL<-FR -3.01, RR<-FL -3.01, RR<FR -3.01, SL<FL -3.01, SR<FR -3.01",
     "FC:c LFE:l RL:d RR:d"},
    // Beyond the ten pairs above: other layouts PipeWire mixes with other rules.
    {"FL,FR", "FL,FR,RL,RR",
     "FL<FL 0, FR<FR 0, RL<FL -3.01, RL<-FR -3.01, RR<-FL -3.01, RR<FR -3.01", "RL:d RR:d"},
    {"FL,FR", "FL,FR,FC,LFE,SL,SR",
     "FL<FL 0, FR<FR 0, FC<FL -9.0, FC<FR -9.0, LFE<FL -12.0, LFE<FR -12.2, SL<FL -3.01, "
     "SL<-FR -3.01, SR<-FL -3.01, SR<FR -3.01",
     "FC:c LFE:l SL:d SR:d"},
    {"FL,FR", "FL,FR,FC,RL,RR",
     "FL<FL 0, FR<FR 0, FC<FL -3.0, FC<FR -3.0, RL<FL -3.01, RR<FR -3.01", "FC:c"},
    {"FL,FR", "FL,FR,LFE", "FL<FL 0, FR<FR 0, LFE<FL -6.1, LFE<FR -6.1", "LFE:l"},
    {"FL,FR,RL,RR", "FL,FR,FC,LFE,RL,RR",
     "FL<FL 0, FR<FR 0, FC<FL -3.0, FC<FR -3.0, LFE<FL -6.1, LFE<FR -6.1, RL<RL 0, RR<RR 0",
     "FC:c LFE:l"},
    {"FL,FR,FC,LFE,RL,RR", "FL,FR,FC,LFE,RL,RR,SL,SR",
     "FL<FL 0, FR<FR 0, FC<FC 0, LFE<LFE 0, RL<RL 0, RR<RR 0, SL<RL 0, SR<RR 0", ""},
    {"FL,FR,FC,LFE,RL,RR,SL,SR", "FL,FR,RL,RR",
     "FL<FL 0, FR<FR 0, FL<FC -3.01, FR<FC -3.01, FL<LFE -9.03, FR<LFE -9.03, RL<RL 0, RR<RR 0, "
     "FL<SL -3.01, FR<SR -3.01, RL<SL -3.01, RR<SR -3.01",
     ""},
    {"FL,FR,FC,LFE,SL,SR", "FL,FR,FC,LFE,RL,RR",
     "FL<FL 0, FR<FR 0, FC<FC 0, LFE<LFE 0, RL<SL 0, RR<SR 0", ""},
    {"FL,FR,FC,LFE,RL,RR", "FL,FR,FC",
     "FL<FL 0, FR<FR 0, FC<FC 0, FC<LFE -6.02, FL<RL -3.01, "
     "FR<RR -3.01",
     ""},
    {"FL,FR,FC,LFE,RC,SL,SR", "FL,FR",
     "FL<FL 0, FR<FR 0, FL<FC -3.01, FR<FC -3.01, FL<LFE -9.03, FR<LFE -9.03, FL<RC -6.02, "
     "FR<RC -6.02, FL<SL -3.01, FR<SR -3.01",
     ""},
    {"FLC,FRC,TFL,TFR", "FL,FR", "FL<FLC 0, FR<FRC 0", ""},
    {"FC", "FL,FR,FC,LFE,RL,RR", "FL<FC -3.01, FR<FC -3.01, FC<FC 0, LFE<FC -6.1", "LFE:l"},
    {"AUX0,AUX1", "FL,FR,FC,LFE,RL,RR", "FL<AUX0 0, FR<AUX1 0", ""},
    {"FL,FR,FC,LFE,RL,RR", "AUX0,AUX1,AUX2,AUX3",
     "AUX0<FL 0, AUX1<FR 0, AUX0<FC -3.01, AUX1<FC -3.01, AUX0<LFE -9.03, AUX1<LFE -9.03, "
     "AUX0<RL -3.01, AUX1<RR -3.01",
     ""},
};

std::size_t channelOf(const ChannelLayout& layout, const std::string& name) {
    const auto position = channelPositionFromName(name);
    const auto it = std::find(layout.begin(), layout.end(), position.value_or(P::UNKNOWN));
    EXPECT_NE(it, layout.end()) << name;
    return std::size_t(it - layout.begin());
}

TEST(ChannelMatrix, MatchesWhatPipeWireMeasurablyDoes) {
    for (const Measured& pair : kMeasured) {
        SCOPED_TRACE(std::string(pair.from) + " -> " + pair.to);
        const ChannelMatrix matrix = ChannelMatrix::between(layout(pair.from), layout(pair.to));
        std::map<std::pair<std::size_t, std::size_t>, double> expected;
        std::istringstream gains(pair.gains);
        std::string entry;
        while (std::getline(gains, entry, ',')) {
            char to[8] = {}, from[8] = {};
            double dB = 0;
            ASSERT_EQ(std::sscanf(entry.c_str(), " %7[^<]<%7s %lf", to, from, &dB), 3) << entry;
            const bool inverted = from[0] == '-';
            const double linear = (inverted ? -1 : 1) * std::pow(10.0, dB / 20);
            expected[{channelOf(matrix.destination, to),
                      channelOf(matrix.source, from + (inverted ? 1 : 0))}] = linear;
        }
        for (std::size_t d = 0; d < matrix.destination.size(); ++d) {
            for (std::size_t s = 0; s < matrix.source.size(); ++s) {
                const double gain = matrix.gain(d, s);
                const auto it = expected.find({d, s});
                const std::string path = channelPositionName(matrix.source[s]) + " -> " +
                                         channelPositionName(matrix.destination[d]);
                if (it == expected.end()) {
                    EXPECT_EQ(gain, 0.0f) << path;
                } else {
                    EXPECT_EQ(gain < 0, it->second < 0) << path << ": polarity";
                    EXPECT_NEAR(20 * std::log10(std::fabs(gain)),
                                20 * std::log10(std::fabs(it->second)), 0.5)
                        << path;
                }
            }
            // Codes in the order of the Shaping enumerators.
            const std::string shaping =
                std::array{"", "c", "l", "d"}[std::size_t(matrix.shaping[d])];
            const std::string name = channelPositionName(matrix.destination[d]);
            const std::string listed = " " + std::string(pair.shaping) + " ";
            const auto at = listed.find(" " + name + ":");
            EXPECT_EQ(shaping,
                      at == std::string::npos ? "" : listed.substr(at + name.size() + 2, 1))
                << name;
        }
    }
}

TEST(ChannelMatrix, KeepsLfeNarrowAndMonoWholeWherePipeWireDoesNot) {
    // PipeWire plays mono onto 2.1 with a full-band LFE, and only the first of two AUX channels
    // on a mono device.
    const ChannelMatrix lfe = ChannelMatrix::between({P::MONO}, layout("FL,FR,LFE"));
    EXPECT_EQ(lfe.shaping[2], Shaping::lfeLowPass);
    const ChannelMatrix mono = ChannelMatrix::between(layout("AUX0,AUX1"), {P::MONO});
    EXPECT_NEAR(mono.gain(0, 0), std::numbers::sqrt2 / 2, 1e-6);
    EXPECT_NEAR(mono.gain(0, 1), std::numbers::sqrt2 / 2, 1e-6);
    // Matching AUX channels pass; positions nobody has a rule for reach nothing, and an LFE
    // made from anything but an LFE is low-passed.
    const ChannelMatrix aux =
        ChannelMatrix::between(layout("FL,FR,AUX5,TC"), layout("FL,FR,LFE,AUX5,UNK"));
    EXPECT_EQ(aux.gain(3, 2), 1.0f);
    for (std::size_t s = 0; s < 4; ++s) {
        EXPECT_EQ(aux.gain(4, s), 0.0f);
    }
    EXPECT_EQ(aux.shaping[2], Shaping::lfeLowPass);
}

TEST(ChannelLayouts, NamesDefaultsAndParsing) {
    EXPECT_EQ(channelLayoutName(defaultChannelLayout(1)), "MONO");
    EXPECT_EQ(channelLayoutName(defaultChannelLayout(3)), "FL,FR,LFE");
    EXPECT_EQ(channelLayoutName(defaultChannelLayout(6)), "FL,FR,FC,LFE,SL,SR");
    EXPECT_EQ(channelLayoutName(defaultChannelLayout(7)), "FL,FR,FC,RL,RR,SL,SR");
    EXPECT_EQ(channelLayoutName(defaultChannelLayout(8)), "FL,FR,FC,LFE,RL,RR,SL,SR");
    EXPECT_EQ(channelLayoutName(defaultChannelLayout(10)).substr(0, 14), "AUX0,AUX1,AUX2");
    EXPECT_TRUE(defaultChannelLayout(0).empty());

    EXPECT_EQ(parseChannelLayout("[ FL FR LLFR ]"), (ChannelLayout{P::FL, P::FR, P::LLFE}));
    EXPECT_EQ(parseChannelLayout("AUX12,RR"), (ChannelLayout{auxPosition(12), P::RR}));
    EXPECT_FALSE(parseChannelLayout("FL,XX"));
    EXPECT_FALSE(parseChannelLayout("AUX4096"));
    EXPECT_FALSE(parseChannelLayout("AUX01"));
    EXPECT_EQ(channelPositionName(ChannelPosition(999)), "UNK");
}

// --- The mixer ----------------------------------------------------------------------------

using Channels = std::vector<std::vector<float>>;

std::vector<float> sine(double frequency, std::size_t frames, double rate) {
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[i] = float(0.5 * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
    }
    return samples;
}

Channels noise(std::size_t channels, std::size_t frames, std::mt19937& random) {
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    Channels samples(channels, std::vector<float>(frames));
    for (auto& channel : samples) {
        std::generate(channel.begin(), channel.end(), [&] { return uniform(random); });
    }
    return samples;
}

double rms(const float* samples, std::size_t count) {
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += double(samples[i]) * samples[i];
    }
    return std::sqrt(sum / double(count));
}

// The sources mixed block by block; mixInto() adds onto silence, mix() overwrites a sentinel.
Channels mixed(ChannelMixer& mixer, const Channels& in, std::uint32_t block, bool add = false) {
    const std::size_t frames = in.front().size();
    Channels out(mixer.destinationChannels(), std::vector<float>(frames, add ? 0.0f : 9.0f));
    std::vector<const float*> from(in.size());
    std::vector<float*> to(out.size());
    for (std::size_t offset = 0; offset < frames; offset += block) {
        for (std::size_t s = 0; s < in.size(); ++s) {
            from[s] = in[s].data() + offset;
        }
        for (std::size_t d = 0; d < out.size(); ++d) {
            to[d] = out[d].data() + offset;
        }
        const auto count = std::uint32_t(std::min<std::size_t>(block, frames - offset));
        add ? mixer.mixInto(from.data(), to.data(), count)
            : mixer.mix(from.data(), to.data(), count);
    }
    return out;
}

// Level (dB) of each destination channel relative to a sine played on the first source channel
// only, in blocks of 480 frames, after the filters have settled.
std::vector<double> response(ChannelMixer& mixer, double frequency, double rate) {
    const std::size_t frames = std::size_t(rate);
    Channels in(mixer.sourceChannels(), std::vector<float>(frames, 0.0f));
    in[0] = sine(frequency, frames, rate);
    mixer.setSampleRate(rate);
    mixer.reset();
    std::vector<double> levels;
    for (const auto& channel : mixed(mixer, in, 480)) {
        levels.push_back(20 *
                         std::log10(std::max(rms(channel.data() + frames / 2, frames / 2), 1e-12) /
                                    rms(in[0].data() + frames / 2, frames / 2)));
    }
    return levels;
}

TEST(ChannelMixer, LowPassesAndDelaysAsMeasured) {
    // Stereo onto FL FR FC LFE RL RR, left channel only. Measured at 48 kHz: LFE −15.0 dB at
    // 60 Hz, −36.9 dB at 150 Hz, −102 dB at 1 kHz; FC −9.0 dB at 1 kHz, −31.2 dB at 10 kHz. At
    // 44.1 kHz: −15.1, −37.0, and FC −31.9 dB at 10 kHz.
    ChannelMixer mixer(ChannelMatrix::between(layout("FL,FR"), layout("FL,FR,FC,LFE,RL,RR")));
    for (const double rate : {48000.0, 44100.0}) {
        SCOPED_TRACE(rate);
        EXPECT_NEAR(response(mixer, 60, rate)[3], -15.0, 0.5);
        EXPECT_NEAR(response(mixer, 150, rate)[3], -36.9, 0.5);
        EXPECT_LT(response(mixer, 1000, rate)[3], -90.0) << "no 1 kHz on the LFE";
        const std::vector<double> high = response(mixer, 10000, rate);
        EXPECT_NEAR(high[2], rate == 48000.0 ? -31.2 : -31.9, 0.5);
        EXPECT_NEAR(high[0], 0.0, 0.01);
        EXPECT_NEAR(response(mixer, 1000, rate)[2], -9.0, 0.1);
    }

    // An impulse on the left reaches the rear 12 ms later (576 frames at 48 kHz, 529 at
    // 44.1 kHz), in phase on RL and inverted on RR.
    for (const auto& [rate, delay] : {std::pair{48000.0, 576u}, std::pair{44100.0, 529u}}) {
        mixer.setSampleRate(rate);
        mixer.reset();
        Channels impulse(2, std::vector<float>(1024, 0.0f));
        impulse[0][10] = 1.0f;
        const Channels out = mixed(mixer, impulse, 1024);
        EXPECT_NEAR(out[4][10 + delay], std::numbers::sqrt2 / 2, 1e-6) << rate;
        EXPECT_NEAR(out[5][10 + delay], -std::numbers::sqrt2 / 2, 1e-6) << rate;
        EXPECT_NEAR(rms(out[4].data(), 1024), std::sqrt(0.5 / 1024), 1e-6) << "one impulse";
    }
}

TEST(ChannelMixer, IdentityIsExactAndBlocksDoNotMatter) {
    std::mt19937 random(7);
    for (const char* text :
         {"MONO", "FL,FR", "FL,FR,FC,LFE,RL,RR", "FL,FR,FC,LFE,RL,RR,SL,SR", "AUX0,AUX1,AUX2"}) {
        const ChannelLayout same = layout(text);
        ChannelMixer mixer(ChannelMatrix::between(same, same));
        Channels in = noise(same.size(), 512, random);
        for (auto& channel : in) {
            channel[1] = -0.0f;
            channel[2] = 1e-40f;
        }
        const Channels out = mixed(mixer, in, 512);
        for (std::size_t c = 0; c < same.size(); ++c) {
            EXPECT_EQ(std::memcmp(in[c].data(), out[c].data(), 512 * sizeof(float)), 0) << text;
        }
    }

    // Filter and delay state carry over from block to block, and mixInto() splits long blocks
    // into its scratch: one long block, many short ones and an added one agree exactly.
    const ChannelMatrix upmix =
        ChannelMatrix::between(layout("FL,FR"), layout("FL,FR,FC,LFE,RL,RR"));
    constexpr std::uint32_t frames = 3 * ChannelMixer::kScratchFrames + 100;
    const Channels in = noise(2, frames, random);
    const auto render = [&](std::uint32_t block, bool add) {
        ChannelMixer mixer(upmix);
        return mixed(mixer, in, block, add);
    };
    const Channels whole = render(frames, false);
    EXPECT_EQ(render(97, false), whole);
    EXPECT_EQ(render(frames, true), whole);
}

TEST(ChannelMixer, MixingAllocatesNothing) {
    ChannelMixer upmix(ChannelMatrix::between(layout("FL,FR"), layout("FL,FR,FC,LFE,RL,RR,SL,SR")));
    ChannelMixer downmix(ChannelMatrix::between(layout("FL,FR,FC,LFE,RL,RR,SL,SR"), {P::MONO}));
    std::vector<std::vector<float>> buffers(
        10, std::vector<float>(ChannelMixer::kScratchFrames * 2, 0.25f));
    std::vector<float*> channels;
    for (auto& buffer : buffers) {
        channels.push_back(buffer.data());
    }
    std::vector<float> mono(ChannelMixer::kScratchFrames * 2);
    float* monoChannel = mono.data();
    const std::size_t allocations = test::allocationsWhile([&] {
        upmix.setSampleRate(44100.0);
        upmix.mix(channels.data(), channels.data() + 2, 512);
        upmix.mixInto(channels.data(), channels.data() + 2, ChannelMixer::kScratchFrames + 1);
        upmix.reset();
        downmix.mix(channels.data(), &monoChannel, 4096);
    });
    EXPECT_EQ(allocations, 0u);
}

} // namespace
} // namespace kestrelamp::hal
