#include "app/Console.h"

#include <cstdio>
#include <ctime>

#include "protocol/UnicodeText.h"

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
    return UnicodeText::printable(text);
}

std::string Console::utc(std::chrono::system_clock::time_point date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm parts{};
    if (!gmtime_r(&seconds, &parts)) return "?";
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts));
}

}  // namespace caldrovex
