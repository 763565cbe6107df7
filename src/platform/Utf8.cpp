#include "platform/Utf8.h"

#include <QString>

namespace kestrelamp {

std::string validUtf8(std::string_view text) {
    // Qt's decoder is the one the views and D-Bus go by; it replaces each bad byte with U+FFFD.
    return QString::fromUtf8(text.data(), qsizetype(text.size())).toStdString();
}

} // namespace kestrelamp
