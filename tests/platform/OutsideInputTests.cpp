#include "platform/JsonText.h"
#include "platform/Utf8.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fstream>
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
