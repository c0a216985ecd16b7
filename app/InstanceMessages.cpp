#include "app/InstanceMessages.h"

#include <nlohmann/json.hpp>

#include "app/Console.h"

namespace caldrovex {

using nlohmann::json;

std::string InstanceMessages::request(const std::vector<std::string>& command) {
    return json{{"command", command}}.dump();
}

std::optional<std::vector<std::string>> InstanceMessages::readRequest(const std::string& line) {
    const json value = json::parse(line, nullptr, false);
    if (!value.is_object() || !value.contains("command") || !value["command"].is_array())
        return std::nullopt;
    std::vector<std::string> words;
    for (const auto& word : value["command"]) {
        if (!word.is_string()) return std::nullopt;
        words.push_back(word.get<std::string>());
    }
    return words;
}

std::string InstanceMessages::reply(const CommandReply& reply) {
    json lines = json::array();
    for (const auto& line : reply.lines)
        lines.push_back(line.key.empty() ? line.value : Console::line(line.key, line.value));
    // Text from devices is made printable above, but may still be invalid UTF-8: replaced
    // rather than refused, so the answer always arrives.
    return json{{"status", reply.status}, {"lines", lines}}.dump(-1, ' ', false,
                                                                 json::error_handler_t::replace);
}

std::optional<InstanceMessages::Answer> InstanceMessages::readReply(const std::string& line) {
    const json value = json::parse(line, nullptr, false);
    if (!value.is_object() || !value.contains("status") || !value["status"].is_number_integer() ||
        !value.contains("lines") || !value["lines"].is_array())
        return std::nullopt;
    Answer answer;
    answer.status = value["status"].get<int>();
    for (const auto& text : value["lines"]) {
        if (!text.is_string()) return std::nullopt;
        answer.lines.push_back(text.get<std::string>());
    }
    return answer;
}

}  // namespace caldrovex
