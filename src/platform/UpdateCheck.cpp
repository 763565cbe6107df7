#include "platform/UpdateCheck.h"

namespace kestrelamp {

UpdateCheckError UpdateCheckError::tooSlow(std::chrono::milliseconds deadline) {
    const auto count = deadline.count();
    return {Kind::tooSlow, 0,
            count % 1000 == 0 ? std::to_string(count / 1000) + " seconds"
                              : std::to_string(count) + " milliseconds"};
}

std::string UpdateCheckError::description() const {
    switch (kind) {
    case Kind::notStarted:
        return "The updater has not been started.";
    case Kind::unreachable:
        return "The update server could not be reached: " + detail + ".";
    case Kind::tooSlow:
        return "The update server did not send the feed within " + detail + ".";
    case Kind::httpStatus:
        return "The update server answered with HTTP status " + std::to_string(httpStatus) + ".";
    case Kind::malformedFeed:
        return "The update feed is malformed: " + detail + ".";
    case Kind::invalidCurrentVersion:
        return "The program's own version is not a dotted version number.";
    }
    return {};
}

UpdateMessage UpdateCheckResult::message() const {
    switch (outcome) {
    case Outcome::updateAvailable:
        // Nothing is downloaded here: the package manager installs, the link says where from.
        return {"A new version of Kestrelamp is available",
                "Kestrelamp " + update.shortVersionString + " is available; you have " +
                    currentVersion + ". Install it with your package manager or get it from " +
                    update.link + "."};
    case Outcome::upToDate:
        return {"Kestrelamp is up to date",
                "Kestrelamp " + currentVersion + " is the newest version available."};
    case Outcome::failed:
        return {"The update check failed", error.description()};
    }
    return {};
}

} // namespace kestrelamp
