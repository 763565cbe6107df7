#pragma once

// Desktop entries (<id>.desktop) found under the XDG data directories: the localized name and the
// icon of an application, by its identifier.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp {

struct DesktopEntry {
    std::string name;
    std::optional<std::string> icon;
    // The base name of the program Exec runs (after "env VAR=VALUE"); empty without one.
    std::string executable;
    std::string startupWMClass;
    // Kept out of menus: a handler or helper entry, not the application's own.
    bool noDisplay = false;
    // The file name without ".desktop"; set where files are found.
    std::string id;
};

// The [Desktop Entry] group of a file's text. Name is required; Name[locale] wins over Name for
// the first of the locales (such as "de_CH", then "de") that has one. Hidden entries are absent.
// Every text is valid UTF-8: bytes that are not become U+FFFD.
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text,
                                              const std::vector<std::string>& locales);

// The base name of the program an Exec value runs: "env A=1 \"/opt/My App/app\" %U" runs app.
std::string execProgram(std::string_view exec);

// The locales desktop entries are read for now (LC_ALL, LC_MESSAGES, LANG).
std::vector<std::string> currentLocales();

// "de_CH.UTF-8@euro" gives "de_CH@euro", "de_CH", "de@euro", "de", in the order the desktop
// entry rules try them. "C" and "POSIX" give none.
std::vector<std::string> localeVariants(std::string_view locale);

// $XDG_DATA_HOME (default ~/.local/share), then each of $XDG_DATA_DIRS (default
// /usr/local/share:/usr/share), each followed by "/applications".
std::vector<std::string> applicationDirectories();

// Real entries are a few KiB; translations of every name and comment stay well below this.
inline constexpr std::size_t maximumDesktopEntryBytes = 64 * 1024;

} // namespace kestrelamp
