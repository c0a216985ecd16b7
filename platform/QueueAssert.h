#pragma once

#include <string_view>

#include "platform/Queue.h"

namespace caldrovex::platform {

// Checks of the rule that queue-bound code runs on its queue. A method whose state belongs to
// one queue (or Asio strand) calls one of these first; a debug build then stops the program
// at the first call from elsewhere, naming the queue and the caller, instead of letting a
// data race corrupt the state quietly. Release builds (NDEBUG) check nothing.
//
// The caller's place comes from the default arguments, as std::source_location would give
// it; that type is missing when clang-tidy's clang reads this standard library.

// Reports a broken queue rule on standard error and aborts.
[[noreturn]] void queueRuleBroken(std::string_view queue, const char* function, const char* file,
                                  unsigned line);

inline void assertOnQueue(const Queue& queue, const char* function = __builtin_FUNCTION(),
                          const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
#ifndef NDEBUG
    if (!queue.isCurrent()) queueRuleBroken(queue.label(), function, file, line);
#else
    (void)queue;
    (void)function;
    (void)file;
    (void)line;
#endif
}

// The same for an Asio strand (anything with `running_in_this_thread`).
template <typename Strand>
void assertOnStrand(const Strand& strand, std::string_view name,
                    const char* function = __builtin_FUNCTION(),
                    const char* file = __builtin_FILE(), unsigned line = __builtin_LINE()) {
#ifndef NDEBUG
    if (!strand.running_in_this_thread()) queueRuleBroken(name, function, file, line);
#else
    (void)strand;
    (void)name;
    (void)function;
    (void)file;
    (void)line;
#endif
}

}  // namespace caldrovex::platform
