#pragma once

// The desktop entries of the XDG data directories, looked up the ways an audio client can be
// matched to its application: by file id, by the program Exec runs, by StartupWMClass.

#include "platform/DesktopEntry.h"

#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

class DesktopEntryIndex {
public:
    DesktopEntryIndex() = default;
    // In order of precedence; of entries with one id, the first counts.
    explicit DesktopEntryIndex(std::vector<DesktopEntry> entries);

    // Every readable *.desktop of the directories (the first directory first, file names in
    // order within one), parsed for the current locale (LC_ALL, LC_MESSAGES, LANG); files that
    // are not regular files or are larger than the maximum are passed over.
    static DesktopEntryIndex load(const std::vector<std::string>& directories);

    const DesktopEntry* withID(std::string_view id) const;
    // An entry with this file id or whose Exec runs this program; a displayed one before one
    // kept out of menus.
    const DesktopEntry* forExecutable(std::string_view executable) const;
    // StartupWMClass compared without regard to case, as window managers do.
    const DesktopEntry* forWindowClass(std::string_view windowClass) const;

    const std::vector<DesktopEntry>& entries() const { return entries_; }

private:
    template <class Matches>
    const DesktopEntry* preferringDisplayed(Matches matches) const;

    std::vector<DesktopEntry> entries_;
};

} // namespace kestrelamp
