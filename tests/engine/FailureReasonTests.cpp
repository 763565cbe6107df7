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
    // A message without the error text, and the log line, are the real server's case
    // (RefusedRoutesOnPipeWireTests).
    const ServerFailure node{"the sound server refused the tap's capture node", -ENOENT,
                             "can't create node: No such file or directory"};
    EXPECT_EQ(node.reason(), "the sound server refused the tap's capture node: can't create "
                             "node: No such file or directory");
    EXPECT_EQ((ServerFailure{"the route's filter could not connect", -EINVAL, ""}.reason()),
              "the route's filter could not connect: Invalid argument");
}

} // namespace
} // namespace kestrelamp::hal
