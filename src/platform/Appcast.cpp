#include "platform/Appcast.h"

#include "platform/Version.h"

#include <QUrl>
#include <QXmlStreamReader>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>

namespace kestrelamp {
namespace {

struct ItemFields {
    QString version;
    QString shortVersionString;
    QString link;
    QString enclosureURL;
    QString enclosureVersion;
    QString enclosureShortVersionString;
};

bool isOurs(const QXmlStreamReader& xml, QLatin1StringView name) {
    return xml.namespaceUri() == QLatin1StringView(kAppcastNamespace) && xml.name() == name;
}

bool isPlain(const QXmlStreamReader& xml, QLatin1StringView name) {
    return xml.namespaceUri().isEmpty() && xml.name() == name;
}

// Feed text ends up in notifications and dialogs: longer than any real version or address is
// refused, and so is text that could steer a terminal or break a line.
constexpr qsizetype kMaximumVersionLength = 64;
constexpr qsizetype kMaximumLinkLength = 2048;

bool holdsControlCharacters(const QString& text) {
    return std::any_of(text.begin(), text.end(), [](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
               c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
    });
}

QString firstNonEmpty(const QString& preferred, const QString& fallback) {
    return preferred.isEmpty() ? fallback : preferred;
}

ItemFields readItem(QXmlStreamReader& xml) {
    ItemFields fields;
    while (xml.readNextStartElement()) {
        if (isOurs(xml, QLatin1StringView("version"))) {
            fields.version = xml.readElementText().trimmed();
        } else if (isOurs(xml, QLatin1StringView("shortVersionString"))) {
            fields.shortVersionString = xml.readElementText().trimmed();
        } else if (isPlain(xml, QLatin1StringView("link"))) {
            fields.link = xml.readElementText().trimmed();
        } else if (isPlain(xml, QLatin1StringView("enclosure"))) {
            const QXmlStreamAttributes attributes = xml.attributes();
            const QString ns = QString::fromLatin1(kAppcastNamespace);
            fields.enclosureURL = attributes.value("url").toString().trimmed();
            fields.enclosureVersion = attributes.value(ns, "version").toString().trimmed();
            fields.enclosureShortVersionString =
                attributes.value(ns, "shortVersionString").toString().trimmed();
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
    return fields;
}

Expected<AppcastItem, std::string> itemFrom(const ItemFields& fields, int position) {
    const std::string name = "item " + std::to_string(position);
    const QString version = firstNonEmpty(fields.version, fields.enclosureVersion);
    if (version.isEmpty()) {
        return unexpected(name + " has no version");
    }
    if (version.size() > kMaximumVersionLength) {
        return unexpected(name + " has a version longer than 64 characters");
    }
    if (!Version::parse(version.toStdString())) {
        return unexpected(name + " has a version that is not a dotted number");
    }
    const QString link = firstNonEmpty(fields.link, fields.enclosureURL);
    if (link.isEmpty()) {
        return unexpected(name + " has no link");
    }
    if (link.size() > kMaximumLinkLength) {
        return unexpected(name + " has a link longer than 2048 characters");
    }
    if (!isSecureWebAddress(QUrl(link, QUrl::StrictMode))) {
        return unexpected(name + " has a link that is not a secure web address");
    }
    const QString shortVersion = firstNonEmpty(
        firstNonEmpty(fields.shortVersionString, fields.enclosureShortVersionString), version);
    if (shortVersion.size() > kMaximumVersionLength) {
        return unexpected(name + " has a short version longer than 64 characters");
    }
    if (holdsControlCharacters(shortVersion)) {
        return unexpected(name + " has a short version with control characters");
    }
    return AppcastItem{version.toStdString(), shortVersion.toStdString(), link.toStdString()};
}

} // namespace

Expected<std::vector<AppcastItem>, std::string> parseAppcast(const QByteArray& document) {
    if (document.trimmed().isEmpty()) {
        return unexpected(std::string("the document is empty"));
    }
    QXmlStreamReader xml(document);
    std::vector<ItemFields> items;
    bool sawChannel = false;
    if (xml.readNextStartElement()) {
        if (!isPlain(xml, QLatin1StringView("rss"))) {
            return unexpected(std::string("the document is not an RSS feed"));
        }
        while (xml.readNextStartElement()) {
            if (!isPlain(xml, QLatin1StringView("channel"))) {
                xml.skipCurrentElement();
                continue;
            }
            sawChannel = true;
            while (xml.readNextStartElement()) {
                if (isPlain(xml, QLatin1StringView("item"))) {
                    items.push_back(readItem(xml));
                } else {
                    xml.skipCurrentElement();
                }
            }
        }
    }
    // Reading on to the end catches truncation and anything after the root element.
    while (!xml.atEnd()) {
        xml.readNext();
    }
    if (xml.hasError()) {
        return unexpected("the document is not well-formed XML (line " +
                          std::to_string(xml.lineNumber()) + ")");
    }
    if (!sawChannel) {
        return unexpected(std::string("the feed has no channel"));
    }
    std::vector<AppcastItem> parsed;
    parsed.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        auto item = itemFrom(items[i], static_cast<int>(i) + 1);
        if (!item) {
            return unexpected(item.error());
        }
        parsed.push_back(std::move(*item));
    }
    return parsed;
}

UpdateCheckResult evaluateAppcast(const QByteArray& document, const std::string& currentVersion) {
    const auto current = Version::parse(currentVersion);
    if (!current) {
        return UpdateCheckResult::failed(currentVersion, UpdateCheckError::invalidCurrentVersion());
    }
    auto items = parseAppcast(document);
    if (!items) {
        return UpdateCheckResult::failed(currentVersion,
                                         UpdateCheckError::malformedFeed(items.error()));
    }
    // Parsing accepted only items whose versions parse.
    const auto versionOf = [](const AppcastItem& item) { return *Version::parse(item.version); };
    const auto newest = std::max_element(
        items->begin(), items->end(),
        [&](const AppcastItem& a, const AppcastItem& b) { return versionOf(a) < versionOf(b); });
    if (newest == items->end() || versionOf(*newest) <= *current) {
        return UpdateCheckResult::upToDate(currentVersion);
    }
    return UpdateCheckResult::updateAvailable(currentVersion, *newest);
}

bool isSecureWebAddress(const QUrl& address) {
    if (!address.isValid() || address.host().isEmpty()) {
        return false;
    }
    const QString scheme = address.scheme().toLower();
    if (scheme == "https") {
        return true;
    }
    if (scheme != "http") {
        return false;
    }
    return isLoopbackAddress(address);
}

// Read here rather than through the network library, which the program does not load.
bool isLoopbackAddress(const QUrl& address) {
    const QString host = address.host().toLower();
    if (host == "localhost") {
        return true;
    }
    const QByteArray text = host.toLatin1();
    in_addr v4{};
    if (::inet_pton(AF_INET, text.constData(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.constData(), &v6) != 1) {
        return false;
    }
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        return v6.s6_addr[12] == 127;
    }
    return IN6_IS_ADDR_LOOPBACK(&v6);
}

} // namespace kestrelamp
