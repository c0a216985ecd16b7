// Local input under Xvfb, where every event comes through an XTEST device: the host's
// injections go through the XTEST devices of the core master pair (as X11InputEmitter sends
// them), while a second master pair added for the test stands for a person at the computer,
// typing and moving through its own XTEST devices.

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "adapters/x11/X11InputEmitter.h"
#include "adapters/x11/X11LocalInputWatcher.h"
#include "platform/ManualQueue.h"
#include "platform/SerialQueue.h"

namespace caldrovex::platform {
namespace {

constexpr auto kDeadline = std::chrono::seconds(20);  // only reached when something is broken

struct Closer {
    void operator()(Display* d) const { XCloseDisplay(d); }
};

// A master device pair of its own (XIAddMaster), through whose XTEST devices this
// connection's XTest requests go.
class PersonAtTheComputer {
public:
    PersonAtTheComputer() : display_(XOpenDisplay(nullptr)) {
        if (!display_) throw std::runtime_error("no X display: run under tests/run-with-xvfb");
        Display* d = display_.get();
        char name[] = "person";
        XIAddMasterInfo add{XIAddMaster, name, True, True};
        XIChangeHierarchy(d, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
        XSync(d, False);
        int count = 0;
        XIDeviceInfo* devices = XIQueryDevice(d, XIAllMasterDevices, &count);
        for (int i = 0; i < count; ++i) {
            if (std::strcmp(devices[i].name, "person pointer") == 0) pointer_ = devices[i].deviceid;
        }
        XIFreeDeviceInfo(devices);
        if (pointer_ == 0) throw std::runtime_error("the master device was not added");
        XISetClientPointer(d, None, pointer_);
        XSync(d, False);
    }
    ~PersonAtTheComputer() {
        XIRemoveMasterInfo remove{XIRemoveMaster, pointer_, XIFloating, 0, 0};
        XIChangeHierarchy(display_.get(), reinterpret_cast<XIAnyHierarchyChangeInfo*>(&remove), 1);
        XSync(display_.get(), False);
    }

    void pressKey() {
        Display* d = display_.get();
        KeyCode code = XKeysymToKeycode(d, XK_a);
        XTestFakeKeyEvent(d, code, True, CurrentTime);
        XTestFakeKeyEvent(d, code, False, CurrentTime);
        XSync(d, False);
    }
    void movePointer(int x, int y) {
        XTestFakeMotionEvent(display_.get(), DefaultScreen(display_.get()), x, y, CurrentTime);
        XSync(display_.get(), False);
    }

private:
    std::unique_ptr<Display, Closer> display_;
    int pointer_ = 0;
};

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
    PersonAtTheComputer person;
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
