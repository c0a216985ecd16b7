#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace caldrovex {

// Reads the fields of one JSON object by the rules every wire record shares: a missing key
// and a null value are both an absent field, unknown keys are ignored, and a value of the
// wrong kind or out of its field's range spoils the whole record. Each accessor returns the
// field (or nullopt when absent or bad); `ok()` tells afterwards whether anything was bad.
//
// Not thread-safe; one reader per decode, living no longer than the object it reads.
class JsonReader {
public:
    using Date = std::chrono::system_clock::time_point;

    // A value that is not an object makes the reader fail at once.
    explicit JsonReader(const nlohmann::json& object);

    // `text` as one JSON document and nothing else, or a discarded value. The JSON library
    // takes a NUL byte for the end of the input and would accept "{...}\0anything"; no JSON
    // text holds a raw NUL, so such input is refused here.
    static nlohmann::json parse(std::string_view text);

    bool ok() const { return ok_; }

    std::optional<std::string> string(const char* key);
    std::optional<bool> boolean(const char* key);
    // Any JSON number.
    std::optional<double> number(const char* key);
    std::optional<int64_t> int64(const char* key) { return integer<int64_t>(key); }
    std::optional<uint64_t> uint64(const char* key) { return integer<uint64_t>(key); }
    std::optional<uint32_t> uint32(const char* key) { return integer<uint32_t>(key); }
    std::optional<uint16_t> uint16(const char* key) { return integer<uint16_t>(key); }
    // Standard padded Base64 text.
    std::optional<std::vector<uint8_t>> bytes(const char* key);
    // Seconds since 2001-01-01 00:00:00 UTC.
    std::optional<Date> date(const char* key);
    std::optional<std::vector<std::string>> strings(const char* key);
    // A list whose elements `decode` turns into T (nullopt for an element spoils the record).
    template <typename T, typename Decode>
    std::optional<std::vector<T>> list(const char* key, Decode decode);

    // Marks the record bad when a required field is absent; returns the field's value.
    template <typename T>
    T required(std::optional<T> field) {
        if (!field) ok_ = false;
        return field ? std::move(*field) : T{};
    }

    // A JSON integer, or a number with an integral value, that fits T. Exposed for values
    // outside objects (list elements).
    template <typename T>
    static std::optional<T> toInteger(const nlohmann::json& value);

private:
    // The value under `key`, or null when the key is missing or the reader already failed.
    const nlohmann::json* find(const char* key) const;
    // Records a bad value of `key` (present, not null, but unusable).
    void fail() { ok_ = false; }

    template <typename T>
    std::optional<T> integer(const char* key);

    const nlohmann::json& object_;
    bool ok_;
};

template <typename T>
std::optional<T> JsonReader::toInteger(const nlohmann::json& value) {
    using Limits = std::numeric_limits<T>;
    if (value.is_number_unsigned()) {
        auto v = value.get<uint64_t>();
        if (v > static_cast<uint64_t>(Limits::max())) return std::nullopt;
        return static_cast<T>(v);
    }
    if (value.is_number_integer()) {
        auto v = value.get<int64_t>();
        if (v < static_cast<int64_t>(Limits::min())) return std::nullopt;
        if (v > 0 && static_cast<uint64_t>(v) > static_cast<uint64_t>(Limits::max()))
            return std::nullopt;
        return static_cast<T>(v);
    }
    if (value.is_number_float()) {
        // 1.0 or 1e3 still names an integer; 1.5 does not. Beyond 2^53 a double no longer
        // tells neighbouring integers apart (an integer literal outside 64 bits arrives here
        // rounded), so such values are refused rather than silently changed. The bounds are
        // powers of two, so the comparisons are exact.
        constexpr double kExactLimit = 9'007'199'254'740'992.0;
        double v = value.get<double>();
        double upper = static_cast<double>(Limits::max()) + 1.0;
        double lower = static_cast<double>(Limits::min());
        if (!(v >= lower && v < upper) || v != std::trunc(v) || std::fabs(v) > kExactLimit)
            return std::nullopt;
        return static_cast<T>(v);
    }
    return std::nullopt;
}

template <typename T>
std::optional<T> JsonReader::integer(const char* key) {
    const nlohmann::json* value = find(key);
    if (!value) return std::nullopt;
    auto result = toInteger<T>(*value);
    if (!result) fail();
    return result;
}

template <typename T, typename Decode>
std::optional<std::vector<T>> JsonReader::list(const char* key, Decode decode) {
    const nlohmann::json* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_array()) {
        fail();
        return std::nullopt;
    }
    std::vector<T> result;
    result.reserve(value->size());
    for (const auto& element : *value) {
        std::optional<T> item = decode(element);
        if (!item) {
            fail();
            return std::nullopt;
        }
        result.push_back(std::move(*item));
    }
    return result;
}

}  // namespace caldrovex
