#include "platform/Updater.h"

namespace kestrelamp {

std::string UpdaterStartError::description() const {
    switch (kind) {
    case Kind::noFeedAddress:
        return "No update feed address is configured.";
    case Kind::invalidFeedAddress:
        return "The update feed address \"" + address + "\" is not a valid web address.";
    case Kind::insecureFeedAddress:
        return "The update feed address \"" + address + "\" does not use https.";
    }
    return {};
}

} // namespace kestrelamp
