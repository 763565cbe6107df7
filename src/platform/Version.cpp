#include "platform/Version.h"

#include <algorithm>

namespace kestrelamp {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view trimmed(std::string_view text) {
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::optional<Version> Version::parse(std::string_view text) {
    text = trimmed(text);
    if (text.empty()) {
        return std::nullopt;
    }
    Version version;
    size_t start = 0;
    while (true) {
        const size_t dot = std::min(text.find('.', start), text.size());
        std::string_view component = text.substr(start, dot - start);
        if (component.empty() || !std::all_of(component.begin(), component.end(), isDigit)) {
            return std::nullopt;
        }
        while (!component.empty() && component.front() == '0') {
            component.remove_prefix(1);
        }
        version.components_.emplace_back(component);
        if (dot == text.size()) {
            break;
        }
        start = dot + 1;
    }
    while (!version.components_.empty() && version.components_.back().empty()) {
        version.components_.pop_back();
    }
    return version;
}

std::strong_ordering Version::operator<=>(const Version& other) const {
    const size_t shared = std::min(components_.size(), other.components_.size());
    for (size_t i = 0; i < shared; ++i) {
        const std::string& mine = components_[i];
        const std::string& theirs = other.components_[i];
        // Without leading zeros, the longer number is the larger one.
        if (mine.size() != theirs.size()) {
            return mine.size() <=> theirs.size();
        }
        if (const int order = mine.compare(theirs); order != 0) {
            return order <=> 0;
        }
    }
    // Trailing zeros were dropped, so any extra component is non-zero.
    return components_.size() <=> other.components_.size();
}

} // namespace kestrelamp
