#include "protocol/JsonReader.h"

#include "protocol/Base64.h"
#include "protocol/ReferenceDate.h"

namespace caldrovex {

JsonReader::JsonReader(const nlohmann::json& object) : object_(object), ok_(object.is_object()) {}

nlohmann::json JsonReader::parse(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return nlohmann::json::value_t::discarded;
    return nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
}

const nlohmann::json* JsonReader::find(const char* key) const {
    if (!ok_) return nullptr;
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::string> JsonReader::string(const char* key) {
    const nlohmann::json* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_string()) {
        fail();
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<bool> JsonReader::boolean(const char* key) {
    const nlohmann::json* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) {
        fail();
        return std::nullopt;
    }
    return value->get<bool>();
}

std::optional<double> JsonReader::number(const char* key) {
    const nlohmann::json* value = find(key);
    if (!value) return std::nullopt;
    if (!value->is_number()) {
        fail();
        return std::nullopt;
    }
    return value->get<double>();
}

std::optional<std::vector<uint8_t>> JsonReader::bytes(const char* key) {
    std::optional<std::string> text = string(key);
    if (!text) return std::nullopt;
    auto decoded = Base64::decode(*text);
    if (!decoded) fail();
    return decoded;
}

std::optional<JsonReader::Date> JsonReader::date(const char* key) {
    std::optional<double> seconds = number(key);
    if (!seconds) return std::nullopt;
    auto date = ReferenceDate::fromSeconds(*seconds);
    if (!date) fail();
    return date;
}

std::optional<std::vector<std::string>> JsonReader::strings(const char* key) {
    return list<std::string>(key, [](const nlohmann::json& element) -> std::optional<std::string> {
        if (!element.is_string()) return std::nullopt;
        return element.get<std::string>();
    });
}

}  // namespace caldrovex
