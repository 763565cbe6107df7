#pragma once

// The update feed, an RSS 2.0 document in which each <item> announces one release:
//
//   <rss version="2.0" xmlns:kestrelamp="https://updates.kestrelamp.org/xmlns/appcast">
//     <channel>
//       <title>Kestrelamp</title>
//       <item>
//         <title>Kestrelamp 0.2</title>
//         <kestrelamp:version>0.2.0</kestrelamp:version>
//         <kestrelamp:shortVersionString>0.2</kestrelamp:shortVersionString>
//         <link>https://kestrelamp.org/releases/0.2.0</link>
//       </item>
//     </channel>
//   </rss>
//
// version             dotted numbers, compared with the running program's version; required.
// shortVersionString  what the user is shown; the version when absent.
// link                where the release can be had; required, https (http only on loopback).
// An item may instead carry them as <enclosure url="…" kestrelamp:version="…"
// kestrelamp:shortVersionString="…"/>; the elements win where both are present.
// Elements the program does not know are skipped.

#include "platform/Expected.h"
#include "platform/UpdateCheck.h"

#include <QByteArray>

#include <string>
#include <vector>

class QUrl;

namespace kestrelamp {

inline constexpr const char* kAppcastNamespace = "https://updates.kestrelamp.org/xmlns/appcast";

// Every item in document order, or a fixed text naming the first fault.
Expected<std::vector<AppcastItem>, std::string> parseAppcast(const QByteArray& document);

// The newest item against the running version: available when strictly newer.
UpdateCheckResult evaluateAppcast(const QByteArray& document, const std::string& currentVersion);

// https with a host, or plain http to this machine (the tests' local feeds).
bool isSecureWebAddress(const QUrl& address);
// localhost, 127.0.0.0/8 or ::1.
bool isLoopbackAddress(const QUrl& address);

} // namespace kestrelamp
