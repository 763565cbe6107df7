// The update feed: every item that parses has a dotted version and a secure link, its texts are
// valid UTF-8, and a feed written from the items parses to the same items. The message shown for
// the feed is valid text too.

#include "FuzzCheck.h"

#include "platform/Appcast.h"
#include "platform/Version.h"

#include <QUrl>

using namespace kestrelamp;
using namespace kestrelamp::fuzz;

namespace {

// Character data that an XML reader gives back unchanged: markup escaped, and carriage returns
// as references so that line-end normalisation leaves them alone.
std::string xmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

QByteArray feedOf(const std::vector<AppcastItem>& items) {
    std::string feed = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\" "
                       "xmlns:kestrelamp=\"" +
                       std::string(kAppcastNamespace) + "\"><channel><title>Kestrelamp</title>";
    for (const AppcastItem& item : items) {
        feed += "<item><kestrelamp:version>" + xmlText(item.version) +
                "</kestrelamp:version><kestrelamp:shortVersionString>" +
                xmlText(item.shortVersionString) + "</kestrelamp:shortVersionString><link>" +
                xmlText(item.link) + "</link></item>";
    }
    feed += "</channel></rss>\n";
    return QByteArray::fromStdString(feed);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray document(reinterpret_cast<const char*>(data), qsizetype(size));
    const auto items = parseAppcast(document);

    const UpdateMessage message = evaluateAppcast(document, "0.1.0").message();
    requireUtf8(message.title, "update message title");
    requireUtf8(message.text, "update message text");

    if (!items) {
        requireUtf8(items.error(), "appcast error");
        return 0;
    }
    for (const AppcastItem& item : *items) {
        requireUtf8(item.version, "item version");
        requireUtf8(item.shortVersionString, "item shortVersionString");
        requireUtf8(item.link, "item link");
        require(Version::parse(item.version).has_value(), "item version is a dotted number",
                item.version);
        require(isSecureWebAddress(QUrl(QString::fromStdString(item.link), QUrl::StrictMode)),
                "item link is a secure web address", item.link);
    }
    const QByteArray feed = feedOf(*items);
    const auto reread = parseAppcast(feed);
    require(reread.hasValue(), "written feed parses",
            reread ? feed.toStdString() : reread.error() + "\n" + feed.toStdString());
    require(reread->size() == items->size(), "same number of items after a round trip");
    for (std::size_t i = 0; i < items->size(); ++i) {
        const AppcastItem& a = (*items)[i];
        const AppcastItem& b = (*reread)[i];
        require(a.version == b.version && a.shortVersionString == b.shortVersionString &&
                    a.link == b.link,
                "same item after a round trip", feed.toStdString());
    }
    return 0;
}
