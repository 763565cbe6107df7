#include "platform/DesktopEntry.h"

#include "platform/FileAccess.h"
#include "platform/Utf8.h"

#include <QFile>

#include <cstdlib>
#include <map>
#include <sstream>

namespace kestrelamp {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The escapes a desktop entry's string values may hold.
std::string unescaped(std::string_view value) {
    std::string result;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            result.push_back(value[i]);
            continue;
        }
        switch (value[++i]) {
        case 's':
            result.push_back(' ');
            break;
        case 'n':
            result.push_back('\n');
            break;
        case 't':
            result.push_back('\t');
            break;
        case 'r':
            result.push_back('\r');
            break;
        case '\\':
            result.push_back('\\');
            break;
        default:
            result.push_back('\\');
            result.push_back(value[i]);
        }
    }
    return result;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

// One argument of an Exec line, quoted or not; `at` moves past it and the blanks after it.
std::string execArgument(std::string_view exec, std::size_t& at) {
    std::string argument;
    if (at < exec.size() && exec[at] == '"') {
        for (++at; at < exec.size() && exec[at] != '"'; ++at) {
            if (exec[at] == '\\' && at + 1 < exec.size()) {
                ++at;
            }
            argument.push_back(exec[at]);
        }
        ++at;
    } else {
        while (at < exec.size() && exec[at] != ' ' && exec[at] != '\t') {
            argument.push_back(exec[at++]);
        }
    }
    while (at < exec.size() && (exec[at] == ' ' || exec[at] == '\t')) {
        ++at;
    }
    return argument;
}

} // namespace

std::vector<std::string> currentLocales() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const std::string value = environment(name);
        if (!value.empty()) {
            return localeVariants(value);
        }
    }
    return {};
}

std::string execProgram(std::string_view exec) {
    std::size_t at = exec.find_first_not_of(" \t");
    if (at == std::string_view::npos) {
        return {};
    }
    std::string program = execArgument(exec, at);
    if (program == "env" || program.ends_with("/env")) {
        program.clear();
        while (at < exec.size() && program.empty()) {
            std::string argument = execArgument(exec, at);
            if (argument.find('=') == std::string::npos && !argument.starts_with('-')) {
                program = std::move(argument);
            }
        }
    }
    const auto slash = program.rfind('/');
    return slash == std::string::npos ? program : program.substr(slash + 1);
}

std::vector<std::string> localeVariants(std::string_view locale) {
    std::string_view rest = locale;
    std::string modifier;
    if (const auto at = rest.find('@'); at != std::string_view::npos) {
        modifier = std::string(rest.substr(at));
        rest = rest.substr(0, at);
    }
    if (const auto dot = rest.find('.'); dot != std::string_view::npos) {
        rest = rest.substr(0, dot);
    }
    if (rest.empty() || rest == "C" || rest == "POSIX") {
        return {};
    }
    std::string language(rest);
    std::string country;
    if (const auto underscore = rest.find('_'); underscore != std::string_view::npos) {
        language = std::string(rest.substr(0, underscore));
        country = std::string(rest.substr(underscore));
    }
    std::vector<std::string> variants;
    if (!country.empty() && !modifier.empty()) {
        variants.push_back(language + country + modifier);
    }
    if (!country.empty()) {
        variants.push_back(language + country);
    }
    if (!modifier.empty()) {
        variants.push_back(language + modifier);
    }
    variants.push_back(language);
    return variants;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text,
                                              const std::vector<std::string>& locales) {
    std::map<std::string, std::string, std::less<>> entries;
    bool inMainGroup = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inMainGroup || equals == std::string_view::npos) {
            continue;
        }
        const std::string key(trimmed(line.substr(0, equals)));
        // The first occurrence of a key holds.
        entries.emplace(key, unescaped(trimmed(line.substr(equals + 1))));
    }
    if (const auto hidden = entries.find("Hidden");
        hidden != entries.end() && hidden->second == "true") {
        return std::nullopt;
    }
    std::optional<std::string> name;
    for (const std::string& locale : locales) {
        if (const auto it = entries.find("Name[" + locale + "]"); it != entries.end()) {
            name = it->second;
            break;
        }
    }
    if (!name) {
        if (const auto it = entries.find("Name"); it != entries.end()) {
            name = it->second;
        }
    }
    if (!name || name->empty()) {
        return std::nullopt;
    }
    // Files may hold any bytes; what leaves here is shown and written as JSON.
    DesktopEntry entry;
    entry.name = validUtf8(*name);
    if (const auto it = entries.find("Icon"); it != entries.end() && !it->second.empty()) {
        entry.icon = validUtf8(it->second);
    }
    if (const auto it = entries.find("Exec"); it != entries.end()) {
        entry.executable = validUtf8(execProgram(it->second));
    }
    if (const auto it = entries.find("StartupWMClass"); it != entries.end()) {
        entry.startupWMClass = validUtf8(it->second);
    }
    if (const auto it = entries.find("NoDisplay"); it != entries.end()) {
        entry.noDisplay = it->second == "true";
    }
    return entry;
}

std::vector<std::string> applicationDirectories() {
    std::string dataHome = environment("XDG_DATA_HOME");
    if (dataHome.empty()) {
        dataHome = environment("HOME") + "/.local/share";
    }
    std::string dataDirs = environment("XDG_DATA_DIRS");
    if (dataDirs.empty()) {
        dataDirs = "/usr/local/share:/usr/share";
    }
    std::vector<std::string> directories{dataHome + "/applications"};
    for (const std::string& dir : split(dataDirs, ':')) {
        directories.push_back(dir + "/applications");
    }
    return directories;
}

} // namespace kestrelamp
