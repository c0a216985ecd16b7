#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

namespace caldrovex::test {

// The X CLIPBOARD selection as another desktop application sees it, for the end-to-end tests:
// reading its text, and owning it with a text of the test's (served from a thread of its own
// with its own display connection, as long as the owner lives). $DISPLAY is used.
class X11Clipboard {
public:
    // The clipboard's UTF-8 text, nullopt when nobody owns it or no answer came in time.
    static std::optional<std::string> read(std::chrono::milliseconds timeout);

    class Owner {
    public:
        explicit Owner(std::string text);
        ~Owner();
        Owner(const Owner&) = delete;
        Owner& operator=(const Owner&) = delete;
        // True once the selection is ours.
        bool owning() const { return owning_; }

    private:
        void serve();
        std::string text_;
        std::atomic<bool> stop_{false};
        std::atomic<bool> owning_{false};
        std::thread thread_;
    };
};

}  // namespace caldrovex::test
