#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/CommandReply.h"

namespace caldrovex {

// What a later launch and the running host say through the command socket, one JSON line
// each way:
//
//   request  {"command": ["revoke", "<id>"]}      an empty command asks for the panel
//   reply    {"status": 0, "lines": ["revoked: <id>"]}
//
// Reply lines are ready to print: "key: value" (the value made printable) or a QR row.
// Pure.
class InstanceMessages {
public:
    InstanceMessages() = delete;

    static std::string request(const std::vector<std::string>& command);
    // nullopt for a line that is not a request.
    static std::optional<std::vector<std::string>> readRequest(const std::string& line);

    static std::string reply(const CommandReply& reply);
    struct Answer {
        int status = 0;
        std::vector<std::string> lines;
    };
    // nullopt for a line that is not a reply.
    static std::optional<Answer> readReply(const std::string& line);
};

}  // namespace caldrovex
