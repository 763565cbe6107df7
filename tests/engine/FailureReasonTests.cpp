// What a failure says: statuses in words with their four characters, the fixed beginnings that
// scripts read, and the server's own words without saying the same thing twice.

#include "engine/EQProcessor.h"
#include "engine/TapManager.h"
#include "engine/hal/ServerFailure.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kestrelamp {
namespace {

using namespace hal;

TEST(FailureReasons, StatusesReadAsWordsAndFourCharacterCodesAsTheirCharacters) {
    EXPECT_EQ(statusDescription(kAudioHardwareTimeoutError), "no answer in time ('tmot')");
    EXPECT_EQ(statusDescription(kAudioHardwareNotRunningError),
              "the sound server is not running ('stop')");
    EXPECT_EQ(statusDescription(kAudioHardwareBadObjectError), "no such object ('!obj')");
    EXPECT_EQ(statusDescription(OSStatus(fourCharCode("abcd"))), "'abcd'");
    EXPECT_EQ(statusDescription(-1), "-1");
    EXPECT_EQ(statusDescription(0x01020304), "16909060") << "not printable: a number";
}

TEST(FailureReasons, TapErrorsKeepTheirBeginningsAndPreferTheServicesWords) {
    EXPECT_EQ(TapError::aggregateCreationFailed(kAudioHardwareTimeoutError).description(),
              "Failed to create aggregate device: no answer in time ('tmot')");
    EXPECT_EQ(
        TapError::aggregateCreationFailed(kAudioHardwareUnspecifiedError, "the server said no")
            .description(),
        "Failed to create aggregate device: the server said no");
    EXPECT_EQ(TapError::tapCreationFailed(-1).description(), "Failed to create audio tap: -1");
    EXPECT_EQ(EQProcessorError::configurationFailed("start device", kAudioHardwareBadDeviceError)
                  .description(),
              "Audio config failed at 'start device': no such device ('!dev')");
}

TEST(FailureReasons, TheServersWordsComeWithItsErrorTextOnce) {
    const ServerFailure link{"the sound server refused a link", -ENOENT,
                             "unknown factory name link-factory"};
    EXPECT_EQ(link.reason(), "the sound server refused a link: unknown factory name link-factory "
                             "(No such file or directory)");
    EXPECT_EQ(link.logLine("link of com.kestrelamp.aggregate.A"),
              "Sound server error on link of com.kestrelamp.aggregate.A: res -2 (No such file or "
              "directory): unknown factory name link-factory");

    const ServerFailure node{"the sound server refused the tap's capture node", -ENOENT,
                             "can't create node: No such file or directory"};
    EXPECT_EQ(node.reason(), "the sound server refused the tap's capture node: can't create "
                             "node: No such file or directory");
    EXPECT_EQ((ServerFailure{"the route's filter could not connect", -EINVAL, ""}.reason()),
              "the route's filter could not connect: Invalid argument");
    EXPECT_EQ((ServerFailure{"the sound server stopped the route's filter", 0, ""}.reason()),
              "the sound server stopped the route's filter");
}

} // namespace
} // namespace kestrelamp
