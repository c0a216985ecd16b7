#pragma once

#include <stdexcept>
#include <string>

namespace caldrovex {

// The system's own error: one full sentence meant for the user, and nothing else. Its
// description (`what()`) is exactly that sentence. It is thrown and caught within one
// synchronous call; across queues it travels as a value.
class CaldrovexError : public std::runtime_error {
public:
    explicit CaldrovexError(const std::string& message) : std::runtime_error(message) {}

    const std::string message() const { return what(); }

    bool operator==(const CaldrovexError& other) const {
        return std::string(what()) == other.what();
    }
};

}  // namespace caldrovex
