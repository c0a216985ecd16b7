// Local input under Xvfb, where every event comes through an XTEST device: the host's
// injections go through the XTEST devices of the core master pair (as X11InputEmitter sends
// them), while a second master pair added for the test stands for a person at the computer,
// typing and moving through its own XTEST devices.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "adapters/x11/X11InputEmitter.h"
#include "adapters/x11/X11LocalInputWatcher.h"
#include "platform/ManualQueue.h"
#include "platform/SerialQueue.h"
#include "support/PersonAtTheComputer.h"

namespace caldrovex::platform {
namespace {

constexpr auto kDeadline = std::chrono::seconds(20);  // only reached when something is broken

// Counts a watcher's reports, which arrive on its main queue.
struct Reports {
    std::mutex mutex;
    std::condition_variable arrived;
    int count = 0;

    std::function<void()> callback() {
        return [this] {
            std::lock_guard guard(mutex);
            ++count;
            arrived.notify_all();
        };
    }
    bool waitFor(int atLeast) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, kDeadline, [&] { return count >= atLeast; });
    }
    int now() {
        std::lock_guard guard(mutex);
        return count;
    }
};

// Waits (polling the watcher's own counts) until it has read `events` injected events.
bool readInjected(const X11LocalInputWatcher& watcher, uint64_t events) {
    auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (watcher.counts().injected < events) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(X11LocalInputWatcherTest, OnlyInputThatTheHostDidNotInjectIsReported) {
    auto mainQueue = SerialQueue::make("main");
    Reports reports;
    X11LocalInputWatcher watcher(mainQueue);
    ASSERT_FALSE(watcher.unavailable());
    bool started = false;
    mainQueue->sync([&] {
        started = watcher.start(reports.callback()) &&
                  watcher.start([] { ADD_FAILURE() << "a second start replaced the callback"; });
    });
    ASSERT_TRUE(started);

    // The host's own injections for the device: a move, a click and a key.
    auto manual = std::make_shared<ManualQueue>();
    auto emitter = X11InputEmitter::open(manual, manual);
    ASSERT_TRUE(emitter);
    using MouseType = InputEvent::MouseType;
    emitter->emit(InputEvent::mouse(MouseType::moved, InputEvent::Button::left, 300, 300, 0, {}));
    emitter->emit(
        InputEvent::mouse(MouseType::leftDown, InputEvent::Button::left, 300, 300, 1, {}));
    emitter->emit(InputEvent::mouse(MouseType::leftUp, InputEvent::Button::left, 300, 300, 1, {}));
    emitter->emit(InputEvent::key(0x00, true, 0));  // the device's "a"
    emitter->emit(InputEvent::key(0x00, false, 0));
    emitter->sync();
    ASSERT_TRUE(readInjected(watcher, 3))
        << watcher.counts().injected << " injected, " << watcher.counts().counted << " counted";
    mainQueue->sync([] {});
    EXPECT_EQ(watcher.counts().counted, 0u);
    EXPECT_EQ(reports.now(), 0);

    // A person at the computer: a key, then a move.
    test::PersonAtTheComputer person;
    person.pressKey();
    ASSERT_TRUE(reports.waitFor(1));
    person.movePointer(700, 500);
    ASSERT_TRUE(reports.waitFor(2));

    // Stopped: what the person does next is no longer reported. A second watcher shows when
    // the server has delivered it.
    mainQueue->sync([&] { watcher.stop(); });
    Reports witness;
    X11LocalInputWatcher second(mainQueue);
    mainQueue->sync([&] { started = second.start(witness.callback()); });
    ASSERT_TRUE(started);
    int before = reports.now();
    person.pressKey();
    ASSERT_TRUE(witness.waitFor(1));
    mainQueue->sync([] {});
    EXPECT_EQ(reports.now(), before);
    mainQueue->sync([&] { second.stop(); });
}

}  // namespace
}  // namespace caldrovex::platform
