// What a failure says: statuses in words with their four characters, and the server's own words
// with its error text said once.

#include "engine/hal/AudioHardware.h"
#include "engine/hal/ServerFailure.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kestrelamp::hal {
namespace {

TEST(FailureReasons, StatusesReadAsWordsAndFourCharacterCodesAsTheirCharacters) {
    EXPECT_EQ(statusDescription(kAudioHardwareTimeoutError), "no answer in time ('tmot')");
    EXPECT_EQ(statusDescription(OSStatus(fourCharCode("abcd"))), "'abcd'");
    EXPECT_EQ(statusDescription(-1), "-1");
    EXPECT_EQ(statusDescription(0x01020304), "16909060") << "not printable: a number";
}

TEST(FailureReasons, TheServersWordsComeWithItsErrorTextOnce) {
    const ServerFailure link{"the sound server refused a link", -ENOENT,
                             "unknown factory name link-factory"};
    EXPECT_EQ(link.reason(), "the sound server refused a link: unknown factory name link-factory "
                             "(No such file or directory)");
    EXPECT_EQ(link.logLine("link of X"), "Sound server error on link of X: res -2 (No such file "
                                         "or directory): unknown factory name link-factory");
    const ServerFailure node{"the sound server refused the tap's capture node", -ENOENT,
                             "can't create node: No such file or directory"};
    EXPECT_EQ(node.reason(), "the sound server refused the tap's capture node: can't create "
                             "node: No such file or directory");
    EXPECT_EQ((ServerFailure{"the route's filter could not connect", -EINVAL, ""}.reason()),
              "the route's filter could not connect: Invalid argument");
}

} // namespace
} // namespace kestrelamp::hal
