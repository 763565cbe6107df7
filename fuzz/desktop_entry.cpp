// Desktop entries as found under the XDG data directories: the texts that come out are valid,
// the executable is a base name, and an entry written from them reads back the same.

#include "FuzzCheck.h"

#include "platform/DesktopEntry.h"

using namespace kestrelamp;
using namespace kestrelamp::fuzz;

namespace {

// A value as a desktop entry carries it: the escapes for what the reader trims or splits on.
std::string escaped(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case ' ':
            // Only the ends would be trimmed; inside, a space stays as it is.
            out += (i == 0 || i + 1 == value.size()) ? "\\s" : " ";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string written(const DesktopEntry& entry) {
    std::string text = "[Desktop Entry]\nType=Application\nName=" + escaped(entry.name) + "\n";
    if (entry.icon) {
        text += "Icon=" + escaped(*entry.icon) + "\n";
    }
    if (!entry.startupWMClass.empty()) {
        text += "StartupWMClass=" + escaped(entry.startupWMClass) + "\n";
    }
    if (entry.noDisplay) {
        text += "NoDisplay=true\n";
    }
    return text;
}

const std::vector<std::string> kLocales{"de_CH", "de"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto entry = parseDesktopEntry(bytesOf(data, size), kLocales);
    if (!entry) {
        return 0;
    }
    requireUtf8(entry->name, "desktop entry name");
    requireUtf8(entry->icon, "desktop entry icon");
    requireUtf8(entry->executable, "desktop entry executable");
    requireUtf8(entry->startupWMClass, "desktop entry window class");
    require(entry->executable.find('/') == std::string::npos, "an executable is a base name",
            entry->executable);
    require(!entry->name.empty(), "a desktop entry has a name");

    const std::string text = written(*entry);
    const auto reread = parseDesktopEntry(text, kLocales);
    require(reread.has_value(), "written desktop entry reads back", text);
    require(reread->name == entry->name && reread->icon == entry->icon &&
                reread->startupWMClass == entry->startupWMClass &&
                reread->noDisplay == entry->noDisplay,
            "same name, icon and window class after a round trip", text);
    return 0;
}
