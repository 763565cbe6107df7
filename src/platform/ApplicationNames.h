#pragma once

// What an audio client's application is called, and with which icon: its desktop entry's where
// one matches, else the name it announced, unless that is only its engine's or its host's name.

#include "platform/AudioClientDirectory.h"
#include "platform/DesktopEntryIndex.h"
#include "platform/RunningApplications.h"

#include <optional>
#include <string>
#include <string_view>

namespace kestrelamp {

// The entry whose id is the client's key (a sandbox's or an application id names its entry),
// else one for its executable (file id or Exec's program), else one whose StartupWMClass is its
// executable, its application name or its key.
const DesktopEntry* desktopEntryFor(const AudioClient& client, const DesktopEntryIndex& entries);

// The announced application name; a name made from the executable where that is only a browser
// engine's name ("Chromium" for slack) or the host's ("python3" for a script). Nothing when the
// client announced no name.
std::optional<std::string> nameWithoutDesktopEntry(const ApplicationIdentity& identity);

// A command's name as people write it: "signal-desktop" is "Signal Desktop". Other names
// ("Game.exe", "org.example.Tool") stay as they are.
std::string nameFromExecutable(std::string_view executable);

// The client as a running application: named and drawn as above, always regular.
RunningApplication runningApplicationFor(const AudioClient& client,
                                         const DesktopEntryIndex& entries);

} // namespace kestrelamp
