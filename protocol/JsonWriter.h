#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace caldrovex {

// Builds one JSON object of a wire record: fields go in the order they are written, and an
// absent field is left out (never written as null). `dump` gives the compact UTF-8 text.
//
// Not thread-safe; one writer per encode.
class JsonWriter {
public:
    using Date = std::chrono::system_clock::time_point;

    void string(const char* key, const std::optional<std::string>& value);
    void boolean(const char* key, std::optional<bool> value);
    void int64(const char* key, std::optional<int64_t> value);
    void uint64(const char* key, std::optional<uint64_t> value);
    void uint32(const char* key, std::optional<uint32_t> value);
    void uint16(const char* key, std::optional<uint16_t> value);
    // Throws CaldrovexError for NaN or infinity, which JSON cannot carry.
    void number(const char* key, std::optional<double> value);
    // Standard padded Base64 text.
    void bytes(const char* key, const std::optional<std::vector<uint8_t>>& value);
    // Seconds since 2001-01-01 00:00:00 UTC.
    void date(const char* key, std::optional<Date> value);
    void strings(const char* key, const std::optional<std::vector<std::string>>& value);
    // A value built elsewhere (a nested record or a list of them).
    void value(const char* key, nlohmann::ordered_json value);

    const nlohmann::ordered_json& object() const { return object_; }

    // Compact text. Throws CaldrovexError when a string is not valid UTF-8.
    std::string dump() const { return toText(object_); }
    static std::string toText(const nlohmann::ordered_json& value);

    // A number as JSON: integral values below 2^53 as JSON integers (so 0.0 is written "0"),
    // others as the shortest text that reads back to the same double.
    static nlohmann::ordered_json numberValue(double value);

private:
    nlohmann::ordered_json object_ = nlohmann::ordered_json::object();
};

}  // namespace caldrovex
