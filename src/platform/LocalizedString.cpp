#include "platform/LocalizedString.h"

#include <QCollator>
#include <QLocale>
#include <QString>

namespace kestrelamp {
namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// QCollator is costly to build; one per thread and case rule, made for the locale current at
// first use.
const QCollator& collator(Qt::CaseSensitivity sensitivity) {
    thread_local const QCollator caseSensitive = [] {
        QCollator c{QLocale()};
        c.setCaseSensitivity(Qt::CaseSensitive);
        return c;
    }();
    thread_local const QCollator caseInsensitive = [] {
        QCollator c{QLocale()};
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    return sensitivity == Qt::CaseSensitive ? caseSensitive : caseInsensitive;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

} // namespace

int localizedCompare(std::string_view a, std::string_view b) {
    return sign(collator(Qt::CaseSensitive).compare(toQString(a), toQString(b)));
}

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    return sign(collator(Qt::CaseInsensitive).compare(toQString(a), toQString(b)));
}

bool localizedCaseInsensitiveContains(std::string_view haystack, std::string_view needle) {
    return toQString(haystack).contains(toQString(needle), Qt::CaseInsensitive);
}

} // namespace kestrelamp
