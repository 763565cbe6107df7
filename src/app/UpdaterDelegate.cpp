#include "app/UpdaterDelegate.h"

namespace kestrelamp {

std::string UpdaterDelegate::feedURLString() const {
    return std::string("https://") + updateHost + "/appcast.xml";
}

} // namespace kestrelamp
