#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace caldrovex {

// Where the headless host writes: standard output, one line per event, flushed at once so a
// script reading the pipe sees each line as it happens. Lines have the form "key: value"
// (for example "status: Ready on your private network", "link: orvelo://pair?data=…").
//
// Main thread only.
class Console {
public:
    Console() = delete;

    // Writes `key: value` and a line end. The value may hold text from outside (device
    // names reach the status sentence): it goes through `printable`.
    static void field(std::string_view key, std::string_view value);
    // Writes `text` as it is and a line end (the QR code's rows).
    static void raw(std::string_view text);

    // Text from outside (device names, messages) made safe for a terminal and for line-based
    // readers: control characters (line ends, escapes, C1 codes) and bidi controls become
    // "?", so a device cannot forge output lines, send escape sequences to the terminal or
    // reverse the rest of a line (UnicodeText::printable).
    static std::string printable(std::string_view text);

    // A date as "2024-05-01T12:00:00Z".
    static std::string utc(std::chrono::system_clock::time_point date);
};

}  // namespace caldrovex
