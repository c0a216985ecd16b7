#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "app/CommandReply.h"

namespace caldrovex {

// Where the host writes its log: standard output, one line per event, each headed by the
// moment it was written (UTC, milliseconds), and flushed at once so that a script or the
// journal reading the pipe sees it as it happens:
//
//   2024-05-01T12:00:00.123Z status: Ready on your private network
//
// The rows of a QR code are written bare, so that the code stays whole.
//
// Main thread only.
class Console {
public:
    Console() = delete;

    // Writes one timestamped `key: value` line. The value may hold text from outside (device
    // names reach the status sentence): it goes through `printable`.
    static void field(std::string_view key, std::string_view value);
    // Writes every line of `reply`: fields timestamped, rows bare.
    static void print(const CommandReply& reply);

    // `key: value` with the value made printable, without timestamp or line end.
    static std::string line(std::string_view key, std::string_view value);

    // Text from outside (device names, messages) made safe for a terminal and for line-based
    // readers: control characters (line ends, escapes, C1 codes) and bidi controls become
    // "?", so a device cannot forge output lines, send escape sequences to the terminal or
    // reverse the rest of a line (UnicodeText::printable).
    static std::string printable(std::string_view text);

    // A date as "2024-05-01T12:00:00Z".
    static std::string utc(std::chrono::system_clock::time_point date);
    // The same with milliseconds, the head of every log line.
    static std::string timestamp(std::chrono::system_clock::time_point date);
};

}  // namespace caldrovex
