#pragma once

#include <source_location>
#include <string_view>

#include "platform/Queue.h"

namespace caldrovex::platform {

// Checks of the rule that queue-bound code runs on its queue. A method whose state belongs to
// one queue (or Asio strand) calls one of these first; a debug build then stops the program
// at the first call from elsewhere, naming the queue and the caller, instead of letting a
// data race corrupt the state quietly. Release builds (NDEBUG) check nothing.

// Reports a broken queue rule on standard error and aborts.
[[noreturn]] void queueRuleBroken(std::string_view queue, const std::source_location& where);

inline void assertOnQueue(const Queue& queue,
                          const std::source_location& where = std::source_location::current()) {
#ifndef NDEBUG
    if (!queue.isCurrent()) queueRuleBroken(queue.label(), where);
#else
    (void)queue;
    (void)where;
#endif
}

// The same for an Asio strand (anything with `running_in_this_thread`).
template <typename Strand>
void assertOnStrand(const Strand& strand, std::string_view name,
                    const std::source_location& where = std::source_location::current()) {
#ifndef NDEBUG
    if (!strand.running_in_this_thread()) queueRuleBroken(name, where);
#else
    (void)strand;
    (void)name;
    (void)where;
#endif
}

}  // namespace caldrovex::platform
