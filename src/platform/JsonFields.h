#pragma once

// Strict readers and the matching writers for the program's JSON files. Inside a decoder the
// readers throw json_fields::Failure; decode() and decodeArray() turn that into a DecodingError
// value, so callers only ever see errors as values.

#include "platform/DecodingError.h"
#include "platform/Expected.h"
#include "platform/JsonText.h"
#include "platform/Uuid.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrelamp::json_fields {

using nlohmann::json;

struct Failure {
    std::string description;
};

[[noreturn]] void fail(std::string description);

// Missing key or null → nothing; present with another type → Failure.
std::optional<std::string> optionalString(const json& object, const char* key);
std::optional<bool> optionalBool(const json& object, const char* key);
std::optional<std::int64_t> optionalInt64(const json& object, const char* key);
std::optional<QUuid> optionalUuid(const json& object, const char* key);
// As requiredBoundedFloat.
std::optional<float> optionalBoundedFloat(const json& object, const char* key, float low,
                                          float high);

// Missing, null or another type → Failure.
std::string requiredString(const json& object, const char* key);
bool requiredBool(const json& object, const char* key);
// A number brought into [low, high]; a literal too large for a double (read as an infinity) goes to
// the nearer end.
float requiredBoundedFloat(const json& object, const char* key, float low, float high);
QUuid requiredUuid(const json& object, const char* key);
std::vector<std::string> requiredStringArray(const json& object, const char* key);
std::vector<float> requiredBoundedFloatArray(const json& object, const char* key, float low,
                                             float high);
const json& requiredArray(const json& object, const char* key);

// Never fails: nothing when the key is missing, null or not an array of strings.
std::optional<std::vector<std::string>> tryStringArray(const json& object, const char* key);

void requireObject(const json& value, const char* what);

// The double whose shortest decimal form is the float's, so that 0.8f is written as 0.8.
double floatAsWritten(float value);
// What a setting is written as: within [low, high], and fallback for NaN, so that nothing
// non-finite (which JSON writes as null) ever reaches a file.
double boundedFloatAsWritten(float value, float low, float high, float fallback);

template <class F>
auto decode(F&& body) -> Expected<decltype(body()), DecodingError> {
    try {
        return body();
    } catch (const Failure& failure) {
        return unexpected(DecodingError{failure.description});
    }
}

// Inside a decoder: every element of the array through decodeElement; the first one that fails
// fails the whole as "<what> <index>: <its description>".
template <class T, class F>
std::vector<T> decodeElements(const json& array, const char* what, F&& decodeElement) {
    std::vector<T> values;
    values.reserve(array.size());
    for (std::size_t index = 0; index < array.size(); ++index) {
        auto value = decodeElement(array[index]);
        if (!value) {
            fail(what + (" " + std::to_string(index)) + ": " + value.error().description);
        }
        values.push_back(std::move(*value));
    }
    return values;
}

// A top-level JSON array whose every element decodes; one bad element fails the whole document.
template <class T, class F>
Expected<std::vector<T>, DecodingError> decodeArray(std::string_view bytes, F&& decodeElement) {
    const json document = json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (document.is_discarded()) {
        return unexpected(DecodingError{"the data is not valid JSON"});
    }
    if (!document.is_array()) {
        return unexpected(DecodingError{"expected a top-level array"});
    }
    return decode([&] { return decodeElements<T>(document, "element", decodeElement); });
}

// Every value through encodeElement, in order; toJson() by default.
template <class T, class F>
json jsonArray(const std::vector<T>& values, F&& encodeElement) {
    json array = json::array();
    for (const T& value : values) {
        array.push_back(encodeElement(value));
    }
    return array;
}

template <class T>
json jsonArray(const std::vector<T>& values) {
    return jsonArray(values, [](const T& value) { return toJson(value); });
}

// The document decodeArray() reads back.
template <class T>
std::string encodeArray(const std::vector<T>& values) {
    return jsonText(jsonArray(values));
}

} // namespace kestrelamp::json_fields
