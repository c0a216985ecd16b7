#include "app/Console.h"

#include <cstdio>
#include <ctime>

namespace caldrovex {

void Console::field(std::string_view key, std::string_view value) {
    std::string line;
    line.reserve(key.size() + value.size() + 3);
    line.append(key).append(": ").append(printable(value)).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void Console::raw(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Console::printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f) {
            out.push_back('?');
        } else if (byte == 0xc2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080…U+009F: the C1 controls in UTF-8, which some terminals obey.
            out.push_back('?');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string Console::utc(std::chrono::system_clock::time_point date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm parts{};
    if (!gmtime_r(&seconds, &parts)) return "?";
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts));
}

}  // namespace caldrovex
