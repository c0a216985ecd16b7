// The input controller driving a real X server (the Xvfb that tests/run-with-xvfb starts)
// through XTest. A test window takes the keyboard focus and reads what arrives as an
// application would: key events translated with Xutf8LookupString, the pointer read back with
// XQueryPointer, held keys with XQueryKeymap.
// gtest first: Xlib defines macros (None, Bool) that clash with its names.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "adapters/x11/SpareKeycodes.h"
#include "adapters/x11/X11DisplayBounds.h"
#include "adapters/x11/X11Handles.h"
#include "adapters/x11/X11InputEmitter.h"
#include "input/InputController.h"
#include "platform/ManualQueue.h"

namespace caldrovex::platform {
namespace {

// The X server resets itself whenever its last client leaves, and refuses connections while
// it does; one connection held for the whole program keeps it up between tests.
class KeepServerUp : public ::testing::Environment {
public:
    void SetUp() override {
        if (std::getenv("DISPLAY")) {
            display_ = openDisplay();
        }
    }
    void TearDown() override { display_.reset(); }

private:
    DisplayHandle display_;
};

const auto* const kEepServerUp = ::testing::AddGlobalTestEnvironment(new KeepServerUp);

InputMessage message(const char* event) {
    InputMessage m;
    m.event = event;
    return m;
}

InputMessage move(double x, double y) {
    InputMessage m = message("move");
    m.x = x;
    m.y = y;
    return m;
}

InputMessage key(uint16_t code, bool down, std::optional<uint64_t> modifiers = std::nullopt) {
    InputMessage m = message("key");
    m.keyCode = code;
    m.keyDown = down;
    m.modifiers = modifiers;
    return m;
}

InputMessage text(std::string value) {
    InputMessage m = message("text");
    m.text = std::move(value);
    return m;
}

// What the test window received, in order.
struct Received {
    std::string text;                    // KeyPress events translated to UTF-8
    std::vector<KeySym> keysyms;         // keysyms of the key presses
    std::vector<unsigned> keyStates;     // modifier state of each key press
    std::vector<unsigned> buttons;       // ButtonPress buttons
    std::vector<unsigned> motionStates;  // state of each pointer motion
    // Releases, as (unshifted keysym or button, modifier state) in order.
    std::vector<std::pair<KeySym, unsigned>> keyReleases;
    std::vector<std::pair<unsigned, unsigned>> buttonReleases;
};

constexpr unsigned kModifierStates = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

class X11InputTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under tests/run-with-xvfb";
        std::setlocale(LC_CTYPE, "C.UTF-8");
        ASSERT_TRUE(XSupportsLocale());
        XSetLocaleModifiers("@im=none");
        display = openDisplay();
        ASSERT_TRUE(display);
        queue = std::make_shared<ManualQueue>();
        emitter = X11InputEmitter::open(queue, queue);
        ASSERT_TRUE(emitter);
        ASSERT_TRUE(emitter->permission());
        controller = std::make_unique<InputController>(emitter->callbacks(), queue,
                                                       emitter->mainDisplayID());
        openWindow();
    }

    void TearDown() override {
        controller.reset();
        emitter.reset();
        if (ic) {
            XDestroyIC(ic);
        }
        if (im) {
            XCloseIM(im);
        }
    }

    // A focused window at (100, 100), 400 × 300, that hears keys, buttons and motion.
    void openWindow() {
        Display* d = display.get();
        window = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 100, 400, 300, 0, 0, 0);
        XSelectInput(d, window,
                     KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                         PointerMotionMask | StructureNotifyMask);
        XMapWindow(d, window);
        XEvent event;
        do {
            XWindowEvent(d, window, StructureNotifyMask, &event);
        } while (event.type != MapNotify);
        XSetInputFocus(d, window, RevertToPointerRoot, CurrentTime);
        im = XOpenIM(d, nullptr, nullptr, nullptr);
        ASSERT_NE(im, nullptr);
        ic = XCreateIC(im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow,
                       window, XNFocusWindow, window, nullptr);
        ASSERT_NE(ic, nullptr);
        XSync(d, False);
    }

    // Everything the window has received once the server has handled all injected events.
    Received drain() {
        emitter->sync();
        XSync(display.get(), False);
        while (XPending(display.get()) > 0) {
            XEvent event;
            XNextEvent(display.get(), &event);
            if (XFilterEvent(&event, None)) {
                continue;
            }
            if (event.type == KeyPress) {
                char buffer[64];
                KeySym keysym = NoSymbol;
                Status status = 0;
                const int n =
                    Xutf8LookupString(ic, &event.xkey, buffer, sizeof buffer, &keysym, &status);
                if (status == XLookupChars || status == XLookupBoth) {
                    received.text.append(buffer, static_cast<size_t>(n));
                }
                received.keysyms.push_back(keysym);
                received.keyStates.push_back(event.xkey.state);
            } else if (event.type == KeyRelease) {
                received.keyReleases.emplace_back(XLookupKeysym(&event.xkey, 0),
                                                  event.xkey.state & kModifierStates);
            } else if (event.type == ButtonPress) {
                received.buttons.push_back(event.xbutton.button);
            } else if (event.type == ButtonRelease) {
                received.buttonReleases.emplace_back(event.xbutton.button,
                                                     event.xbutton.state & kModifierStates);
            } else if (event.type == MotionNotify) {
                received.motionStates.push_back(event.xmotion.state);
            }
        }
        return std::exchange(received, {});
    }

    // Handles one text message and reads what arrives while virtual time passes, as a live
    // application keeps reading; returns once the emitter has nothing left to type.
    Received typeAndRead(const std::string& value) {
        controller->handle(text(value));
        Received all;
        for (int step = 0; step < 100; ++step) {
            Received r = drain();
            all.text += r.text;
            all.keysyms.insert(all.keysyms.end(), r.keysyms.begin(), r.keysyms.end());
            if (emitter->pendingEvents() == 0) {
                break;
            }
            queue->advance(0.05);
        }
        return all;
    }

    std::pair<int, int> pointer() {
        Window root = None;
        Window child = None;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(display.get(), DefaultRootWindow(display.get()), &root, &child, &x, &y, &wx,
                      &wy, &mask);
        return {x, y};
    }

    bool keyIsDown(KeyCode code) {
        char keys[32];
        XQueryKeymap(display.get(), keys);
        return (keys[code / 8] >> (code % 8)) & 1;
    }

    bool keysymIsDown(KeySym keysym) { return keyIsDown(XKeysymToKeycode(display.get(), keysym)); }

    // The number of keycodes without any keysym in the server's current keymap.
    int emptyKeycodes() {
        Display* d = display.get();
        int minCode = 0, maxCode = 0, per = 0;
        XDisplayKeycodes(d, &minCode, &maxCode);
        X11Ptr<KeySym> syms(
            XGetKeyboardMapping(d, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &per));
        int empty = 0;
        for (int code = 0; code <= maxCode - minCode; ++code) {
            bool any = false;
            for (int k = 0; k < per; ++k) {
                any = any || syms.get()[code * per + k] != NoSymbol;
            }
            empty += any ? 0 : 1;
        }
        return empty;
    }

    DisplayHandle display;
    std::shared_ptr<ManualQueue> queue;
    std::shared_ptr<X11InputEmitter> emitter;
    std::unique_ptr<InputController> controller;
    Window window = None;
    XIM im = nullptr;
    XIC ic = nullptr;
    Received received;
};

TEST_F(X11InputTest, DisplayBoundsComeFromRandr) {
    // Xvfb has one output covering the screen.
    const uint32_t main = emitter->mainDisplayID();
    EXPECT_NE(main, 0u);
    EXPECT_EQ(emitter->displayBounds(main), (DisplayRect{0, 0, 1920, 1080}));
    // An unknown output falls back to the main one.
    EXPECT_EQ(emitter->displayBounds(12345), (DisplayRect{0, 0, 1920, 1080}));
}

TEST_F(X11InputTest, MovesLandWhereTheNormalizedCoordinatesSay) {
    struct Case {
        double x, y;
        int expectedX, expectedY;
    };
    const Case cases[] = {
        {0.5, 0.25, 960, 270}, {0, 0, 0, 0}, {0.1, 0.9, 192, 972},
        {1.5, -0.2, 1919, 0},  // pinned to the right and top edges, on screen
        {1, 1, 1919, 1079},
    };
    for (const Case& c : cases) {
        controller->handle(move(c.x, c.y));
        emitter->sync();
        EXPECT_EQ(pointer(), std::make_pair(c.expectedX, c.expectedY)) << c.x << ", " << c.y;
    }
}

TEST_F(X11InputTest, TypedTextArrivesAsTheSameText) {
    const int emptyBefore = emptyKeycodes();
    const std::string typed =
        "Hello, W\xC3\xB6rld! \xE2\x82\xAC 5 \xE6\x97\xA5\xE6\x9C\xAC "
        "\xF0\x9F\x98\x80 ~{}";
    EXPECT_EQ(typeAndRead(typed).text, typed);

    // A line break is typed as Return; CR LF is one line break, not two.
    EXPECT_EQ(typeAndRead("a\r\nb\nc").keysyms,
              (std::vector<KeySym>{XK_a, XK_Return, XK_b, XK_Return, XK_c}));

    // The spare keycodes keep their keysyms while clients may still need them, then are
    // given back.
    EXPECT_LT(emptyKeycodes(), emptyBefore);
    queue->advance(X11InputEmitter::kRestoreDelaySeconds);
    XSync(display.get(), False);
    EXPECT_EQ(emptyKeycodes(), emptyBefore);
    EXPECT_EQ(emitter->spareKeycodes().boundCount(), 0u);
}

TEST_F(X11InputTest, TextWithMoreCharactersThanSpareKeycodesIsTypedInBatches) {
    const size_t spare = emitter->spareKeycodes().capacity();
    ASSERT_GT(spare, 4u);
    // More distinct characters than spare keycodes, in texts of at most 1024 units.
    std::string typed;
    for (char32_t c = 0x4E00; typed.size() < 3 * (spare + 10) * 3; ++c) {
        typed += static_cast<char>(0xE0 | (c >> 12));
        typed += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        typed += static_cast<char>(0x80 | (c & 0x3F));
    }
    controller->handle(text(typed));
    // A key typed after the text waits its turn behind it.
    controller->handle(key(0x31, true));
    controller->handle(key(0x31, false));
    EXPECT_GT(emitter->pendingEvents(), 0u);

    // The window keeps reading as time passes, as a live application does.
    std::string arrived;
    for (int step = 0; step < 100 && emitter->pendingEvents() > 0; ++step) {
        arrived += drain().text;
        queue->advance(0.05);
    }
    arrived += drain().text;
    EXPECT_EQ(arrived, typed + " ");
}

TEST_F(X11InputTest, CommandVArrivesAsControlV) {
    // The clipboard's paste: keyCode 9 with the Command flag, pressed and released.
    controller->handle(key(9, true, 1048576));
    controller->handle(key(9, false, 1048576));
    const Received r = drain();
    // Control_L, then v with Control; the release of v comes with Control too.
    ASSERT_GE(r.keysyms.size(), 2u);
    EXPECT_EQ(r.keysyms[0], static_cast<KeySym>(XK_Control_L));
    EXPECT_EQ(r.keysyms[1], static_cast<KeySym>(XK_v));
    EXPECT_EQ(r.keyStates[1] & kModifierStates, ControlMask);
    EXPECT_TRUE(std::count(r.keyReleases.begin(), r.keyReleases.end(),
                           std::make_pair(KeySym{XK_v}, unsigned{ControlMask})));
    // The Control held for the chord is let go with it.
    EXPECT_FALSE(keysymIsDown(XK_Control_L));
    EXPECT_FALSE(keysymIsDown(XK_v));
}

TEST_F(X11InputTest, ModifiersTheDeviceHoldsAreNotPressedTwice) {
    controller->handle(key(0x38, true, 0x20000));  // Shift key down
    controller->handle(key(0x00, true, 0x20000));  // A with the Shift flag
    controller->handle(key(0x00, false, 0x20000));
    Received r = drain();
    EXPECT_EQ(r.text, "A");
    EXPECT_TRUE(keysymIsDown(XK_Shift_L));  // still held by the device
    controller->handle(key(0x38, false, 0));
    drain();
    EXPECT_FALSE(keysymIsDown(XK_Shift_L));
}

// The device's flags hold for every event of a key or a click, releases included: the
// application sees the release with the state the press had, and nothing stays down after.
TEST_F(X11InputTest, ReleasesArriveWithTheModifiersOfTheirMessage) {
    controller->handle(key(0x00, true, 0x20000));  // a, with Shift
    controller->handle(key(0x00, false, 0x20000));
    Received r = drain();
    EXPECT_EQ(r.text, "A");
    const auto aUp = std::make_pair(KeySym{XK_a}, unsigned{ShiftMask});
    EXPECT_EQ(std::count(r.keyReleases.begin(), r.keyReleases.end(), aUp), 1);
    EXPECT_FALSE(keysymIsDown(XK_Shift_L));

    InputMessage down = message("button");
    down.keyDown = true;
    down.x = 0.2;
    down.y = 0.2;
    down.modifiers = 0x20000;
    InputMessage drag = move(0.22, 0.22);
    drag.modifiers = 0x20000;
    InputMessage up = down;
    up.keyDown = false;
    up.x = 0.22;
    up.y = 0.22;
    controller->handle(down);
    controller->handle(drag);
    controller->handle(up);
    r = drain();
    EXPECT_EQ(r.buttons, (std::vector<unsigned>{1}));
    ASSERT_EQ(r.buttonReleases.size(), 1u);
    EXPECT_EQ(r.buttonReleases[0], std::make_pair(1u, unsigned{ShiftMask}));
    EXPECT_FALSE(keysymIsDown(XK_Shift_L));

    // Without flags the release is plain.
    up.modifiers.reset();
    down.modifiers.reset();
    controller->handle(down);
    controller->handle(up);
    EXPECT_EQ(drain().buttonReleases, (std::vector<std::pair<unsigned, unsigned>>{{1u, 0u}}));
}

TEST_F(X11InputTest, KeysMissingFromTheKeymapUseASpareKeycode) {
    // Keypad digits type digits whatever Num Lock says; F20 is not in Xvfb's keymap at all.
    controller->handle(key(0x53, true));
    controller->handle(key(0x53, false));
    controller->handle(key(0x5A, true));
    controller->handle(key(0x5A, false));
    const Received r = drain();
    EXPECT_EQ(r.keysyms, (std::vector<KeySym>{XK_KP_1, XK_F20}));
    EXPECT_EQ(r.text, "1");
}

TEST_F(X11InputTest, ReleaseAllLetsGoOfHeldKeysAndButtons) {
    controller->handle(move(0.1, 0.1));   // inside the test window
    controller->handle(key(0x00, true));  // a
    controller->handle(key(0x3A, true));  // option: Alt_L
    controller->handle(key(0x52, true));  // keypad 0, on a spare keycode
    InputMessage press = message("button");
    press.keyDown = true;
    controller->handle(press);
    drain();
    const KeyCode a = XKeysymToKeycode(display.get(), XK_a);
    EXPECT_TRUE(keyIsDown(a));
    EXPECT_TRUE(keysymIsDown(XK_Alt_L));
    EXPECT_EQ(emitter->spareKeycodes().boundCount(), 1u);

    controller->releaseAll();
    drain();
    EXPECT_FALSE(keyIsDown(a));
    EXPECT_FALSE(keysymIsDown(XK_Alt_L));
    char keys[32];
    XQueryKeymap(display.get(), keys);
    for (char byte : keys) {
        EXPECT_EQ(byte, 0);
    }
    Window root = None, child = None;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(display.get(), DefaultRootWindow(display.get()), &root, &child, &x, &y, &wx, &wy,
                  &mask);
    EXPECT_EQ(mask & (Button1Mask | Button3Mask), 0u);
    // The keypad key's spare keycode is free to be given back once released.
    queue->advance(X11InputEmitter::kRestoreDelaySeconds);
    EXPECT_EQ(emitter->spareKeycodes().boundCount(), 0u);
}

TEST_F(X11InputTest, ClicksDragsAndScrollsReachTheWindow) {
    InputMessage down = message("button");
    down.keyDown = true;
    down.x = 0.2;
    down.y = 0.2;
    InputMessage up = down;
    up.keyDown = false;
    InputMessage rightDown = down;
    rightDown.button = 1;
    InputMessage rightUp = up;
    rightUp.button = 1;

    controller->handle(down);
    controller->handle(move(0.21, 0.21));  // a drag
    controller->handle(up);
    controller->handle(rightDown);
    controller->handle(rightUp);
    Received r = drain();
    EXPECT_EQ(r.buttons, (std::vector<unsigned>{1, 3}));
    // The drag moved the pointer with the left button down.
    EXPECT_TRUE(std::any_of(r.motionStates.begin(), r.motionStates.end(),
                            [](unsigned state) { return state & Button1Mask; }));

    // 120 pixels up: two wheel clicks and 20 carried; 30 more make the third; 50 right is
    // one click of button 7.
    InputMessage scroll = message("scroll");
    scroll.x = 0;
    scroll.y = 120;
    controller->handle(scroll);
    scroll.y = 30;
    controller->handle(scroll);
    scroll.y = 0;
    scroll.x = -50;
    controller->handle(scroll);
    EXPECT_EQ(drain().buttons, (std::vector<unsigned>{4, 4, 4, 7}));

    // A Command-click is a Control-click.
    InputMessage commandDown = down;
    commandDown.modifiers = 0x100000;
    controller->handle(commandDown);
    controller->handle(up);
    drain();
    EXPECT_FALSE(keysymIsDown(XK_Control_L));
}

}  // namespace
}  // namespace caldrovex::platform
