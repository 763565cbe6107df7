#include "platform/JsonFields.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

namespace kestrelamp::json_fields {
namespace {

std::string quoted(const char* key) {
    return std::string("\"") + key + "\"";
}

const json* present(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

const json& required(const json& object, const char* key) {
    const json* value = present(object, key);
    if (!value) {
        fail("key " + quoted(key) + " is missing");
    }
    return *value;
}

[[noreturn]] void wrongType(const char* key, const char* expected) {
    fail("key " + quoted(key) + " is not " + expected);
}

std::string asString(const json& value, const char* key) {
    if (!value.is_string()) {
        wrongType(key, "a string");
    }
    return value.get<std::string>();
}

bool asBool(const json& value, const char* key) {
    if (!value.is_boolean()) {
        wrongType(key, "a boolean");
    }
    return value.get<bool>();
}

std::int64_t asInt64(const json& value, const char* key) {
    // Larger than any int64: refused rather than wrapped (2^64 - 1 would read as -1).
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            return std::int64_t(value.get<std::uint64_t>());
        }
        wrongType(key, "an integer in range");
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    // A whole number written with a fraction part (2.0) is still an integer.
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 9.2e18) {
            return static_cast<std::int64_t>(number);
        }
    }
    wrongType(key, "an integer");
}

float asBoundedFloat(const json& value, const char* key, float low, float high) {
    if (!value.is_number()) {
        wrongType(key, "a number");
    }
    // As a double first: converting one beyond the float range is undefined.
    return float(std::clamp(value.get<double>(), double(low), double(high)));
}

QUuid asUuid(const json& value, const char* key) {
    const auto uuid = parseUuid(asString(value, key));
    if (!uuid) {
        wrongType(key, "a UUID");
    }
    return *uuid;
}

} // namespace

double floatAsWritten(float value) {
    if (!std::isfinite(value)) {
        return double(value);
    }
    char text[32];
    const auto result = std::to_chars(std::begin(text), std::end(text), value);
    double written = 0;
    std::from_chars(text, result.ptr, written);
    return written;
}

double boundedFloatAsWritten(float value, float low, float high, float fallback) {
    return floatAsWritten(std::isnan(value) ? fallback : std::clamp(value, low, high));
}

void fail(std::string description) {
    throw Failure{std::move(description)};
}

void requireObject(const json& value, const char* what) {
    if (!value.is_object()) {
        fail(std::string("expected an object for ") + what);
    }
}

std::optional<std::string> optionalString(const json& object, const char* key) {
    const json* value = present(object, key);
    return value ? std::optional(asString(*value, key)) : std::nullopt;
}

std::optional<bool> optionalBool(const json& object, const char* key) {
    const json* value = present(object, key);
    return value ? std::optional(asBool(*value, key)) : std::nullopt;
}

std::optional<std::int64_t> optionalInt64(const json& object, const char* key) {
    const json* value = present(object, key);
    return value ? std::optional(asInt64(*value, key)) : std::nullopt;
}

std::optional<float> optionalBoundedFloat(const json& object, const char* key, float low,
                                          float high) {
    const json* value = present(object, key);
    return value ? std::optional(asBoundedFloat(*value, key, low, high)) : std::nullopt;
}

std::optional<QUuid> optionalUuid(const json& object, const char* key) {
    const json* value = present(object, key);
    return value ? std::optional(asUuid(*value, key)) : std::nullopt;
}

std::string requiredString(const json& object, const char* key) {
    return asString(required(object, key), key);
}
bool requiredBool(const json& object, const char* key) {
    return asBool(required(object, key), key);
}
float requiredBoundedFloat(const json& object, const char* key, float low, float high) {
    return asBoundedFloat(required(object, key), key, low, high);
}
QUuid requiredUuid(const json& object, const char* key) {
    return asUuid(required(object, key), key);
}

const json& requiredArray(const json& object, const char* key) {
    const json& value = required(object, key);
    if (!value.is_array()) {
        wrongType(key, "an array");
    }
    return value;
}

std::vector<std::string> requiredStringArray(const json& object, const char* key) {
    std::vector<std::string> strings;
    for (const json& element : requiredArray(object, key)) {
        strings.push_back(asString(element, key));
    }
    return strings;
}

std::vector<float> requiredBoundedFloatArray(const json& object, const char* key, float low,
                                             float high) {
    std::vector<float> numbers;
    for (const json& element : requiredArray(object, key)) {
        numbers.push_back(asBoundedFloat(element, key, low, high));
    }
    return numbers;
}

std::optional<std::vector<std::string>> tryStringArray(const json& object, const char* key) {
    const json* value = present(object, key);
    if (!value || !value->is_array()) {
        return std::nullopt;
    }
    std::vector<std::string> strings;
    for (const json& element : *value) {
        if (!element.is_string()) {
            return std::nullopt;
        }
        strings.push_back(element.get<std::string>());
    }
    return strings;
}

} // namespace kestrelamp::json_fields
