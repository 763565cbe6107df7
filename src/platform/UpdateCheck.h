#pragma once

// What an update check found. Plain values, free of Qt, so that notifiers and their tests need
// nothing but the standard library.

#include <chrono>
#include <string>

namespace kestrelamp {

// One release announced by the update feed.
struct AppcastItem {
    std::string version;            // dotted numbers, compared with the running program's
    std::string shortVersionString; // what the user is shown
    std::string link;               // where the release can be had
};

struct UpdateCheckError {
    enum class Kind {
        notStarted,
        unreachable,
        tooSlow,
        httpStatus,
        malformedFeed,
        invalidCurrentVersion,
    };

    Kind kind = Kind::notStarted;
    int httpStatus = 0;
    std::string detail; // fixed text naming the network failure, the feed's fault or the deadline

    static UpdateCheckError notStarted() { return {Kind::notStarted, 0, {}}; }
    static UpdateCheckError unreachable(std::string reason) {
        return {Kind::unreachable, 0, std::move(reason)};
    }
    // The feed did not arrive whole before the check's deadline.
    static UpdateCheckError tooSlow(std::chrono::milliseconds deadline);
    static UpdateCheckError httpStatusError(int status) { return {Kind::httpStatus, status, {}}; }
    static UpdateCheckError malformedFeed(std::string fault) {
        return {Kind::malformedFeed, 0, std::move(fault)};
    }
    static UpdateCheckError invalidCurrentVersion() { return {Kind::invalidCurrentVersion, 0, {}}; }

    std::string description() const;
};

// The title and text a notification or dialog shows for a result.
struct UpdateMessage {
    std::string title;
    std::string text;
};

struct UpdateCheckResult {
    enum class Outcome { updateAvailable, upToDate, failed };

    Outcome outcome = Outcome::failed;
    std::string currentVersion;
    AppcastItem update;     // the newest release, when one is available
    UpdateCheckError error; // when the check failed

    static UpdateCheckResult updateAvailable(std::string currentVersion, AppcastItem update) {
        return {Outcome::updateAvailable, std::move(currentVersion), std::move(update), {}};
    }
    static UpdateCheckResult upToDate(std::string currentVersion) {
        return {Outcome::upToDate, std::move(currentVersion), {}, {}};
    }
    static UpdateCheckResult failed(std::string currentVersion, UpdateCheckError error) {
        return {Outcome::failed, std::move(currentVersion), {}, std::move(error)};
    }

    UpdateMessage message() const;
};

} // namespace kestrelamp
