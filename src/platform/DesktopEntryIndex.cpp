#include "platform/DesktopEntryIndex.h"

#include "platform/FileAccess.h"

#include <QDir>

#include <algorithm>
#include <cctype>
#include <set>

namespace kestrelamp {

namespace {

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

DesktopEntryIndex::DesktopEntryIndex(std::vector<DesktopEntry> entries) {
    std::set<std::string> seen;
    for (DesktopEntry& entry : entries) {
        if (seen.insert(entry.id).second) {
            entries_.push_back(std::move(entry));
        }
    }
}

DesktopEntryIndex DesktopEntryIndex::load(const std::vector<std::string>& directories) {
    const std::vector<std::string> locales = currentLocales();
    std::vector<DesktopEntry> entries;
    std::set<std::string> seen;
    for (const std::string& directory : directories) {
        const QDir folder(QFile::decodeName(QByteArray::fromStdString(directory)));
        // Matched by hand: a name filter would compile a regular expression, which maps and
        // keeps the whole expression engine for one suffix.
        for (const QString& file : folder.entryList(QDir::Files | QDir::Readable, QDir::Name)) {
            if (!file.endsWith(QLatin1String(".desktop"), Qt::CaseInsensitive)) {
                continue;
            }
            std::string id = QFile::encodeName(file.chopped(8)).toStdString();
            if (seen.count(id) > 0) {
                continue;
            }
            const auto contents =
                readRegularFile(folder.filePath(file), std::int64_t(maximumDesktopEntryBytes));
            if (!contents || !*contents) {
                continue;
            }
            // A broken or hidden entry leaves the id to the next directory, as a lookup does.
            if (auto entry = parseDesktopEntry((*contents)->toStdString(), locales)) {
                entry->id = std::move(id);
                seen.insert(entry->id);
                entries.push_back(std::move(*entry));
            }
        }
    }
    return DesktopEntryIndex(std::move(entries));
}

const DesktopEntry* DesktopEntryIndex::withID(std::string_view id) const {
    const auto it = std::find_if(entries_.begin(), entries_.end(),
                                 [&](const DesktopEntry& entry) { return entry.id == id; });
    return it != entries_.end() ? &*it : nullptr;
}

template <class Matches>
const DesktopEntry* DesktopEntryIndex::preferringDisplayed(Matches matches) const {
    const DesktopEntry* hidden = nullptr;
    for (const DesktopEntry& entry : entries_) {
        if (!matches(entry)) {
            continue;
        }
        if (!entry.noDisplay) {
            return &entry;
        }
        if (hidden == nullptr) {
            hidden = &entry;
        }
    }
    return hidden;
}

const DesktopEntry* DesktopEntryIndex::forExecutable(std::string_view executable) const {
    if (executable.empty()) {
        return nullptr;
    }
    return preferringDisplayed([&](const DesktopEntry& entry) {
        return entry.id == executable || entry.executable == executable;
    });
}

const DesktopEntry* DesktopEntryIndex::forWindowClass(std::string_view windowClass) const {
    if (windowClass.empty()) {
        return nullptr;
    }
    return preferringDisplayed([&](const DesktopEntry& entry) {
        return equalIgnoringCase(entry.startupWMClass, windowClass);
    });
}

} // namespace kestrelamp
