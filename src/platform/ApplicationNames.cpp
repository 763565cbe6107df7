#include "platform/ApplicationNames.h"

#include <algorithm>
#include <cctype>

namespace kestrelamp {

namespace {

std::optional<std::string> firstProperty(const AudioClient& client,
                                         std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (const auto it = client.properties.find(key);
            it != client.properties.end() && !it->second.empty()) {
            return it->second;
        }
    }
    return std::nullopt;
}

bool isCommandName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::islower(c) || std::isdigit(c) || c == '-' || c == '_';
    });
}

} // namespace

const DesktopEntry* desktopEntryFor(const AudioClient& client, const DesktopEntryIndex& entries) {
    const ApplicationIdentity& identity = client.identity;
    if (const DesktopEntry* entry = entries.withID(client.bundleID)) {
        return entry;
    }
    if (const DesktopEntry* entry = entries.forExecutable(identity.executable)) {
        return entry;
    }
    for (const std::string& windowClass :
         {identity.executable, identity.applicationName, client.bundleID}) {
        if (const DesktopEntry* entry = entries.forWindowClass(windowClass)) {
            return entry;
        }
    }
    return nullptr;
}

std::string nameFromExecutable(std::string_view executable) {
    if (!isCommandName(executable)) {
        return std::string(executable);
    }
    std::string name;
    bool wordStart = true;
    for (const char c : executable) {
        if (c == '-' || c == '_') {
            name.push_back(' ');
            wordStart = true;
            continue;
        }
        name.push_back(wordStart ? char(std::toupper(static_cast<unsigned char>(c))) : c);
        wordStart = false;
    }
    return name;
}

std::optional<std::string> nameWithoutDesktopEntry(const ApplicationIdentity& identity) {
    const std::string& name = identity.applicationName;
    if (name.empty()) {
        return std::nullopt;
    }
    const std::string& runner = identity.host.empty() ? identity.executable : identity.host;
    const bool onlyTheRunner = (!identity.host.empty() && namesOnlyTheHost(name, identity.host)) ||
                               isEngineName(name, runner);
    if (onlyTheRunner && !identity.executable.empty()) {
        return nameFromExecutable(identity.executable);
    }
    return name;
}

RunningApplication runningApplicationFor(const AudioClient& client,
                                         const DesktopEntryIndex& entries) {
    RunningApplication application;
    const DesktopEntry* entry = desktopEntryFor(client, entries);
    application.localizedName =
        entry ? std::optional(entry->name) : nameWithoutDesktopEntry(client.identity);
    application.icon = entry && entry->icon
                           ? entry->icon
                           : firstProperty(client, {"application.icon-name", "media.icon-name",
                                                    "window.icon-name"});
    application.activationPolicy = ActivationPolicy::regular;
    return application;
}

} // namespace kestrelamp
