#include "platform/JsonText.h"
#include "platform/Utf8.h"

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrelamp {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Utf8, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"Caf\xE9 Radio", "Caf" + kReplacement + " Radio"}, // Latin-1
        {"Caf\xC3\xA9 \xF0\x9F\x8E\xB5", "Caf\xC3\xA9 \xF0\x9F\x8E\xB5"},
        {std::string("nul\0inside", 10), std::string("nul\0inside", 10)},
        {"\xC0\xAF", kReplacement + kReplacement}, // overlong "/"
        {"\xE0\x80\xAF", kReplacement + kReplacement + kReplacement},
        {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement}, // a surrogate
        {"\xF4\x90\x80\x80", kReplacement + kReplacement + kReplacement + kReplacement},
        {"end\xE2\x82", "end" + kReplacement + kReplacement}, // cut short
        {"\x80"
         "a\xBF",
         kReplacement + "a" + kReplacement}, // stray continuations
        {"\xFE\xFF", kReplacement + kReplacement},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(validUtf8(c.in), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(isValidUtf8(c.in), c.in == c.out) << testing::PrintToString(c.in);
    }
}

// Qt's decoder is the reference the rest of the program (views, D-Bus) goes by: both must
// agree on every input, byte for byte.
TEST(Utf8, AgreesWithQtsDecoderOnArbitraryBytes) {
    std::mt19937 random(14);
    std::uniform_int_distribution<int> length(0, 12);
    // Mostly bytes around the lead and continuation ranges, where the edge cases are.
    const std::vector<unsigned char> interesting{
        0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
        0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF8, 0xFF};
    std::uniform_int_distribution<std::size_t> pick(0, interesting.size() - 1);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        for (int i = length(random); i > 0; --i) {
            bytes.push_back(static_cast<char>(interesting[pick(random)]));
        }
        const std::string ours = validUtf8(bytes);
        const QByteArray qts = QString::fromUtf8(bytes.data(), qsizetype(bytes.size())).toUtf8();
        ASSERT_EQ(ours, qts.toStdString()) << testing::PrintToString(bytes);
        ASSERT_TRUE(isValidUtf8(ours));
    }
}

TEST(JsonText, StringsThatAreNotUtf8NeverAbortTheEncoder) {
    const nlohmann::json document{{"name", "Caf\xE9"}, {"ok", "Caf\xC3\xA9"}};
    EXPECT_THROW((void)document.dump(), nlohmann::json::type_error);
    const std::string text = jsonText(document);
    EXPECT_EQ(text, "{\"name\":\"Caf" + kReplacement + "\",\"ok\":\"Caf\xC3\xA9\"}");
    EXPECT_TRUE(nlohmann::json::accept(text));
}

} // namespace
} // namespace kestrelamp
