#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace caldrovex::test {

// Collects the values a callback reports on any thread and lets the test thread wait for
// the n-th one. Held by shared_ptr: a callback may outlive the test's own reference.
template <typename T>
class EventLog : public std::enable_shared_from_this<EventLog<T>> {
public:
    static std::shared_ptr<EventLog> make() { return std::make_shared<EventLog>(); }

    std::function<void(T)> callback() {
        return [self = this->shared_from_this()](T value) {
            std::lock_guard lock(self->mutex_);
            self->values_.push_back(std::move(value));
            self->changed_.notify_all();
        };
    }

    // The value at `index` (0-based), waiting up to `wait` for it; throws when it never comes.
    T waitFor(size_t index, std::chrono::seconds wait = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, wait, [&] { return values_.size() > index; }))
            throw std::runtime_error("timed out waiting for event " + std::to_string(index));
        return values_[index];
    }

    // The first value from `index` on for which `matches` holds, waiting for it.
    T waitUntil(const std::function<bool(const T&)>& matches, size_t index = 0,
                std::chrono::seconds wait = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        const T* found = nullptr;
        const bool seen = changed_.wait_for(lock, wait, [&] {
            for (size_t i = index; i < values_.size() && !found; ++i)
                if (matches(values_[i])) found = &values_[i];
            return found != nullptr;
        });
        if (!seen) throw std::runtime_error("timed out waiting for a matching event");
        return *found;
    }

    std::vector<T> values() {
        std::lock_guard lock(mutex_);
        return values_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> values_;
};

}  // namespace caldrovex::test
