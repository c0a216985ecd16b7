#include "app/Console.h"

#include <cstdio>
#include <ctime>

#include "protocol/UnicodeText.h"

namespace caldrovex {

namespace {

void write(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::string Console::line(std::string_view key, std::string_view value) {
    std::string text;
    text.reserve(key.size() + value.size() + 2);
    text.append(key).append(": ").append(printable(value));
    return text;
}

void Console::field(std::string_view key, std::string_view value) {
    write(timestamp(std::chrono::system_clock::now()) + " " + line(key, value) + "\n");
}

void Console::print(const CommandReply& reply) {
    for (const auto& entry : reply.lines) {
        if (entry.key.empty())
            write(entry.value + "\n");
        else
            field(entry.key, entry.value);
    }
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

std::string Console::timestamp(std::chrono::system_clock::time_point date) {
    const auto since = date.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since - seconds);
    std::string text = utc(std::chrono::system_clock::time_point(seconds));
    if (text.size() < 2) return text;
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(millis.count()));
    text.insert(text.size() - 1, fraction);
    return text;
}

}  // namespace caldrovex
