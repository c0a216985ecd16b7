#include "protocol/JsonWriter.h"

#include <cmath>

#include "platform/CaldrovexError.h"
#include "protocol/Base64.h"
#include "protocol/ReferenceDate.h"

namespace caldrovex {

namespace {

// Doubles hold every integer up to 2^53 exactly; beyond that the integer form could claim
// a precision the value does not have.
constexpr double kExactIntegerLimit = 9'007'199'254'740'992.0;

const char* const kUnencodable = "The message could not be encoded.";

}  // namespace

void JsonWriter::string(const char* key, const std::optional<std::string>& value) {
    if (value) object_[key] = *value;
}

void JsonWriter::boolean(const char* key, std::optional<bool> value) {
    if (value) object_[key] = *value;
}

void JsonWriter::int64(const char* key, std::optional<int64_t> value) {
    if (value) object_[key] = *value;
}

void JsonWriter::uint64(const char* key, std::optional<uint64_t> value) {
    if (value) object_[key] = *value;
}

void JsonWriter::uint32(const char* key, std::optional<uint32_t> value) {
    if (value) object_[key] = *value;
}

void JsonWriter::uint16(const char* key, std::optional<uint16_t> value) {
    if (value) object_[key] = *value;
}

void JsonWriter::number(const char* key, std::optional<double> value) {
    if (value) object_[key] = numberValue(*value);
}

void JsonWriter::bytes(const char* key, const std::optional<std::vector<uint8_t>>& value) {
    if (value) object_[key] = Base64::encode(*value);
}

void JsonWriter::date(const char* key, std::optional<Date> value) {
    if (value) object_[key] = numberValue(ReferenceDate::toSeconds(*value));
}

void JsonWriter::strings(const char* key, const std::optional<std::vector<std::string>>& value) {
    if (value) object_[key] = *value;
}

void JsonWriter::value(const char* key, nlohmann::ordered_json value) {
    object_[key] = std::move(value);
}

std::string JsonWriter::toText(const nlohmann::ordered_json& value) {
    try {
        return value.dump();
    } catch (const nlohmann::json::type_error&) {
        // The only type error dump raises is a string that is not valid UTF-8.
        throw CaldrovexError(kUnencodable);
    }
}

nlohmann::ordered_json JsonWriter::numberValue(double value) {
    if (!std::isfinite(value)) throw CaldrovexError(kUnencodable);
    if (value == std::trunc(value) && std::fabs(value) < kExactIntegerLimit)
        return static_cast<int64_t>(value);
    return value;
}

}  // namespace caldrovex
