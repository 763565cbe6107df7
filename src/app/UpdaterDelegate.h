#pragma once

#include "platform/Updater.h"

namespace kestrelamp {

// Tells the updater where the program's appcast is.
class UpdaterDelegate final : public UpdaterFeedDelegate {
public:
    static constexpr const char* updateHost = "updates.kestrelamp.org";

    // "https://updates.kestrelamp.org/appcast.xml"
    std::string feedURLString() const override;
};

} // namespace kestrelamp
