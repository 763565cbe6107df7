#pragma once

// Which applications are running, by identifier: the first running instance's localized name,
// icon and activation policy. The Linux implementation reads desktop entries and the audio
// service's client properties; the simulated one is filled from a scenario.

#include <optional>
#include <string>

namespace kestrelamp {

enum class ActivationPolicy {
    regular = 0,
    accessory = 1,
    prohibited = 2,
};

struct RunningApplication {
    std::optional<std::string> localizedName;
    // An icon-theme name or an absolute file path; views turn it into an image.
    std::optional<std::string> icon;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
};

inline constexpr const char* kKestrelampBundleIdentifier = "com.kestrelamp.Kestrelamp";

class RunningApplications {
public:
    virtual ~RunningApplications() = default;

    // The first running instance of the application with this identifier, or nothing.
    virtual std::optional<RunningApplication>
    firstRunningApplication(const std::string& bundleID) const = 0;

    // The identifier of this program itself; it never lists itself.
    virtual std::string mainBundleIdentifier() const { return kKestrelampBundleIdentifier; }
};

} // namespace kestrelamp
