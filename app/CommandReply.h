#pragma once

#include <string>
#include <vector>

namespace caldrovex {

// The answer to one command, typed on the headless host's standard input or sent by a later
// `caldrovex-host COMMAND` through the command socket: "key: value" lines and raw rows (a QR
// code's), the exit status the command line reports, and whether the host is to quit.
struct CommandReply {
    // The host refused or could not do what was asked.
    static constexpr int kFailed = 1;

    struct Line {
        std::string key;  // empty for a raw row
        std::string value;
    };

    std::vector<Line> lines;
    int status = 0;
    bool quit = false;

    void field(std::string key, std::string value) {
        lines.push_back({std::move(key), std::move(value)});
    }
    void row(std::string text) { lines.push_back({{}, std::move(text)}); }
    void error(std::string sentence) {
        field("error", std::move(sentence));
        status = kFailed;
    }
};

}  // namespace caldrovex
