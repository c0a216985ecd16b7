#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::test {

// The X CLIPBOARD selection as another desktop application sees it, for the end-to-end tests:
// watching who owns it, reading its text, and owning it with a text of the test's (served from
// a thread of its own with its own display connection, as long as the owner lives). Every wait
// is for an X event, bounded by a deadline. $DISPLAY is used.
class X11Clipboard {
public:
    // The clipboard's UTF-8 text, nullopt when nobody owns it or no answer came in time.
    static std::optional<std::string> read(std::chrono::milliseconds timeout);

    // Hears every change of the clipboard's owner from its creation on (XFixes selection
    // events), so that a test can wait for another client to take the selection.
    class OwnerWatch {
    public:
        OwnerWatch();
        ~OwnerWatch();
        OwnerWatch(const OwnerWatch&) = delete;
        OwnerWatch& operator=(const OwnerWatch&) = delete;
        // Waits until some window took the selection since the watch began (or since the last
        // call); false when none did in time.
        bool waitForNewOwner(std::chrono::milliseconds timeout);

    private:
        platform::DisplayHandle display_;
        int eventBase_ = 0;
    };

    class Owner {
    public:
        explicit Owner(std::string text);
        ~Owner();
        Owner(const Owner&) = delete;
        Owner& operator=(const Owner&) = delete;
        // Waits until the selection is ours; false when it did not become ours in time.
        bool waitUntilOwning(std::chrono::milliseconds timeout);
        // Requests for the text answered so far.
        int answered();
        // Waits until more than `count` requests have been answered; false on timeout.
        bool waitForAnswerAfter(int count, std::chrono::milliseconds timeout);

    private:
        void serve();
        std::string text_;
        std::atomic<bool> stop_{false};
        std::mutex mutex_;
        std::condition_variable changed_;
        bool owning_ = false;  // guarded by mutex_
        int answered_ = 0;     // guarded by mutex_
        std::thread thread_;
    };
};

}  // namespace caldrovex::test
