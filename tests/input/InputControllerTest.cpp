#include "input/InputController.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "platform/ManualQueue.h"

namespace caldrovex {
namespace {

using MouseType = InputEvent::MouseType;
using Button = InputEvent::Button;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// The streamed display sits right of and below the desktop origin, so that offsets show.
const DisplayRect kDisplay{100, 50, 1600, 900};
constexpr uint32_t kMainDisplay = 7;

InputMessage move(double x, double y) {
    InputMessage m;
    m.event = "move";
    m.x = x;
    m.y = y;
    return m;
}

InputMessage button(std::optional<int64_t> number, std::optional<bool> down, double x = 0.5,
                    double y = 0.5) {
    InputMessage m;
    m.event = "button";
    m.button = number;
    m.keyDown = down;
    m.x = x;
    m.y = y;
    return m;
}

InputMessage key(std::optional<uint16_t> code, std::optional<bool> down,
                 std::optional<uint64_t> modifiers = std::nullopt) {
    InputMessage m;
    m.event = "key";
    m.keyCode = code;
    m.keyDown = down;
    m.modifiers = modifiers;
    return m;
}

InputMessage scroll(std::optional<double> x, std::optional<double> y) {
    InputMessage m;
    m.event = "scroll";
    m.x = x;
    m.y = y;
    return m;
}

InputMessage text(std::string value) {
    InputMessage m;
    m.event = "text";
    m.text = std::move(value);
    return m;
}

// A controller on virtual time whose events land in `events`.
class InputControllerTest : public ::testing::Test {
protected:
    InputControllerTest() {
        InputController::Callbacks callbacks;
        callbacks.permission = [this] { return permitted; };
        callbacks.displayBounds = [this](uint32_t id) {
            askedDisplays.push_back(id);
            return kDisplay;
        };
        callbacks.emit = [this](const InputEvent& e) { events.push_back(e); };
        controller = std::make_unique<InputController>(callbacks, clock, kMainDisplay);
    }

    // Events emitted since the last call.
    std::vector<InputEvent> take() { return std::exchange(events, {}); }

    std::shared_ptr<platform::ManualQueue> clock = std::make_shared<platform::ManualQueue>();
    bool permitted = true;
    std::vector<uint32_t> askedDisplays;
    std::vector<InputEvent> events;
    std::unique_ptr<InputController> controller;
};

TEST_F(InputControllerTest, NormalizedCoordinatesLandOnTheCapturedDisplay) {
    struct Case {
        const char* note;
        double x, y;
        double expectedX, expectedY;
    };
    const Case cases[] = {
        {"top-left corner", 0, 0, 100, 50},
        {"bottom-right corner", 1, 1, 1700, 950},
        {"inside", 0.25, 0.5, 500, 500},
        {"past the right edge, above the top: pinned to both edges", 1.5, -0.2, 1700, 50},
        {"left of the left edge, below the bottom", -3, 7, 100, 950},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        controller->handle(move(c.x, c.y));
        EXPECT_EQ(take(), (std::vector{InputEvent::mouse(MouseType::moved, Button::left,
                                                         c.expectedX, c.expectedY, 0, 0)}));
    }
    // The bounds are always those of the display the session points the controller at.
    EXPECT_EQ(askedDisplays.front(), kMainDisplay);
    controller->displayID = 42;
    controller->handle(move(0, 0));
    EXPECT_EQ(askedDisplays.back(), 42u);
}

TEST_F(InputControllerTest, UnusableCoordinatesKeepThePointer) {
    controller->handle(move(0.5, 0.5));
    take();
    InputMessage onlyX;
    onlyX.event = "move";
    onlyX.x = 0.1;
    const InputMessage cases[] = {move(kNan, 0.1), move(0.1, kInfinity), move(-kInfinity, 0.1),
                                  onlyX};
    for (const InputMessage& m : cases) {
        controller->handle(m);
        EXPECT_EQ(controller->pointX(), 900);
        EXPECT_EQ(controller->pointY(), 500);
    }
    // A scroll's x and y are pixel amounts, never a position.
    controller->handle(scroll(0.1, 0.1));
    EXPECT_EQ(controller->pointX(), 900);
    EXPECT_EQ(controller->pointY(), 500);
}

TEST_F(InputControllerTest, LeftPressesCountDoubleAndTripleClicks) {
    struct Step {
        const char* note;
        double wait;
        double x;
        int64_t expectedClickState;
    };
    // x is a fraction of 1600 points: 0.001 is 1.6 points, 0.01 is 16. Waits are binary
    // fractions so that virtual time adds up exactly.
    const Step steps[] = {
        {"first press", 1, 0.5, 1},
        {"quick second press", 0.25, 0.5, 2},
        {"third, slightly moved", 0.375, 0.501, 3},
        {"fourth stays at three", 0.25, 0.5, 3},
        {"0.625 s later starts over", 0.625, 0.5, 1},
        {"quick but 16 points away starts over", 0.125, 0.51, 1},
        {"exactly 0.5 s is too slow", 0.5, 0.51, 1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.note);
        clock->advance(s.wait);
        controller->handle(button(0, true, s.x));
        controller->handle(button(0, false, s.x));
        const double px = 100 + s.x * 1600;
        EXPECT_EQ(take(), (std::vector{
                              InputEvent::mouse(MouseType::leftDown, Button::left, px, 500,
                                                s.expectedClickState, 0),
                              // The release carries the same count as its press.
                              InputEvent::mouse(MouseType::leftUp, Button::left, px, 500,
                                                s.expectedClickState, 0),
                          }));
    }
}

TEST_F(InputControllerTest, RightPressesCarryOneAndLeaveTheLeftCountAlone) {
    controller->handle(button(0, true));
    controller->handle(button(0, false));
    clock->advance(0.1);
    controller->handle(button(1, true));
    controller->handle(button(1, false));
    clock->advance(0.1);
    controller->handle(button(0, true));
    const auto e = take();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[2], InputEvent::mouse(MouseType::rightDown, Button::right, 900, 500, 1, 0));
    EXPECT_EQ(e[3], InputEvent::mouse(MouseType::rightUp, Button::right, 900, 500, 1, 0));
    // The right click in between does not break the left double click.
    EXPECT_EQ(e[4].clickState, 2);
}

TEST_F(InputControllerTest, ButtonNumbersOtherThanOneMeanLeft) {
    const std::optional<int64_t> numbers[] = {std::nullopt, 0, 2, -1};
    for (const auto& number : numbers) {
        controller->handle(button(number, true));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(take()[0].mouseType, MouseType::leftDown);
        controller->handle(button(number, false));
        take();
    }
}

TEST_F(InputControllerTest, MovesWithAButtonHeldAreDrags) {
    struct Case {
        const char* note;
        std::vector<int> held;
        MouseType type;
        Button button;
    };
    const Case cases[] = {
        {"nothing held", {}, MouseType::moved, Button::left},
        {"left held", {0}, MouseType::leftDragged, Button::left},
        {"right held", {1}, MouseType::rightDragged, Button::right},
        {"both held: left drag, right button", {0, 1}, MouseType::leftDragged, Button::right},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        for (int b : c.held) {
            controller->handle(button(b, true));
        }
        take();
        controller->handle(move(0.75, 0.25));
        EXPECT_EQ(take(), (std::vector{InputEvent::mouse(c.type, c.button, 1300, 275, 0, 0)}));
        controller->releaseAll();
        take();
    }
}

TEST_F(InputControllerTest, OnlyTheFourModifierFlagsPassAndAbsentMeansNone) {
    struct Case {
        std::optional<uint64_t> modifiers;
        uint64_t flags;
    };
    const Case cases[] = {
        {std::nullopt, 0},
        {0x100000, 0x100000},                    // Command
        {0x20000 | 0x40000 | 0x80000, 0xE0000},  // Shift, Control, Option
        {~uint64_t{0}, 0x1E0000},                // caps lock, fn and the rest dropped
        {0x10000 | 0x800000, 0},
    };
    for (const Case& c : cases) {
        controller->handle(key(9, true, c.modifiers));
        InputMessage m = move(0.5, 0.5);
        m.modifiers = c.modifiers;
        controller->handle(m);
        InputMessage b = button(0, false);
        b.modifiers = c.modifiers;
        controller->handle(b);
        for (const InputEvent& e : take()) {
            EXPECT_EQ(e.flags, c.flags) << e;
        }
    }
}

TEST_F(InputControllerTest, KeysByCodeWithinTheKeyboardRange) {
    controller->handle(key(0, true, 0x100000));
    controller->handle(key(127, true));
    controller->handle(key(128, true));  // past the range: ignored
    controller->handle(key(std::nullopt, true));
    InputMessage wrongEvent = key(5, true);
    wrongEvent.event = "keys";
    controller->handle(wrongEvent);
    controller->handle(InputMessage{});  // no event at all
    EXPECT_EQ(take(),
              (std::vector{InputEvent::key(0, true, 0x100000), InputEvent::key(127, true, 0)}));
    EXPECT_EQ(controller->heldKeys(), (std::set<uint16_t>{0, 127}));

    // Without keyDown a key message is a release.
    controller->handle(key(127, std::nullopt));
    EXPECT_EQ(take(), (std::vector{InputEvent::key(127, false, 0)}));
    EXPECT_EQ(controller->heldKeys(), (std::set<uint16_t>{0}));
}

TEST_F(InputControllerTest, ScrollsAreClampedAndTruncated) {
    struct Case {
        const char* note;
        std::optional<double> x, y;
        std::optional<InputEvent> expected;
    };
    const Case cases[] = {
        {"plain", 3, -40, InputEvent::scroll(-40, 3)},
        {"too far down and left", -2500, 5000, InputEvent::scroll(2000, -2000)},
        {"fractions dropped toward zero", -12.9, 12.9, InputEvent::scroll(12, -12)},
        {"no x", std::nullopt, 10, std::nullopt},
        {"no y", 10, std::nullopt, std::nullopt},
        {"not a number", kNan, 10, std::nullopt},
        {"infinite", 10, kInfinity, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        InputMessage m = scroll(c.x, c.y);
        m.modifiers = 0x20000;  // scrolls never carry flags
        controller->handle(m);
        const auto e = take();
        if (c.expected) {
            EXPECT_EQ(e, std::vector{*c.expected});
        } else {
            EXPECT_TRUE(e.empty());
        }
    }
}

// Each chunk is typed as a key-down and a key-up carrying the same text.
std::vector<std::u16string> typedChunks(const std::vector<InputEvent>& events) {
    std::vector<std::u16string> out;
    for (size_t i = 0; i < events.size(); ++i) {
        const InputEvent& e = events[i];
        EXPECT_EQ(e.kind, InputEvent::Kind::text);
        EXPECT_EQ(e.keyCode, 0);
        EXPECT_EQ(e.flags, std::nullopt);
        EXPECT_EQ(e.keyDown, i % 2 == 0);
        if (i % 2 == 0) {
            out.push_back(e.text);
        } else {
            EXPECT_EQ(e.text, out.back());
        }
    }
    return out;
}

TEST_F(InputControllerTest, TextIsTypedInChunksThatKeepSurrogatePairsWhole) {
    const std::string emoji = "\U0001F600";  // two UTF-16 units
    const std::u16string emoji16 = u"\U0001F600";
    struct Case {
        const char* note;
        std::string text;
        std::vector<std::u16string> expected;
    };
    const Case cases[] = {
        {"45 ASCII letters",
         std::string(45, 'a'),
         {std::u16string(20, u'a'), std::u16string(20, u'a'), std::u16string(5, u'a')}},
        {"an emoji that would straddle the boundary moves to the next chunk",
         std::string(19, 'b') + emoji + "c",
         {std::u16string(19, u'b'), emoji16 + u"c"}},
        {"an emoji that ends exactly at 20 stays",
         std::string(18, 'b') + emoji + "c",
         {std::u16string(18, u'b') + emoji16, u"c"}},
        {"twenty emoji fill two chunks exactly",
         [&] {
             std::string s;
             for (int i = 0; i < 20; ++i) s += emoji;
             return s;
         }(),
         {[&] {
              std::u16string s;
              for (int i = 0; i < 10; ++i) s += emoji16;
              return s;
          }(),
          [&] {
              std::u16string s;
              for (int i = 0; i < 10; ++i) s += emoji16;
              return s;
          }()}},
        {"non-ASCII in the basic plane is one unit each",
         "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC",
         {u"été €"}},
        {"exactly 1024 units", std::string(1024, 'x'),
         std::vector<std::u16string>(51, std::u16string(20, u'x'))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        controller->handle(text(c.text));
        auto chunks = typedChunks(take());
        if (c.text.size() == 1024) {
            ASSERT_EQ(chunks.size(), 52u);
            EXPECT_EQ(chunks.back(), std::u16string(4, u'x'));
            chunks.pop_back();
        }
        EXPECT_EQ(chunks, c.expected);
    }
}

TEST_F(InputControllerTest, UnusableTextIsIgnoredEntirely) {
    struct Case {
        const char* note;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {"absent", std::nullopt},
        {"empty", ""},
        {"1025 units", std::string(1025, 'x')},
        {"1023 units and an emoji", std::string(1023, 'x') + "\U0001F600"},
        {"truncated sequence", "ab\xE2\x82"},
        {"stray continuation byte", "a\x80"},
        {"overlong slash", "\xC0\xAF"},
        {"encoded surrogate", "\xED\xA0\x80"},
        {"past U+10FFFF", "\xF4\x90\x80\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note);
        InputMessage m;
        m.event = "text";
        m.text = c.text;
        controller->handle(m);
        EXPECT_TRUE(take().empty());
    }
}

TEST_F(InputControllerTest, RateLimitDropsTheFloodButNeverARelease) {
    controller->handle(key(4, true));
    controller->handle(button(0, true));
    for (int i = 0; i < 498; ++i) {
        controller->handle(move(0.5, 0.5));
    }
    EXPECT_EQ(take().size(), 500u);

    // Message 501 onwards within the same second: presses and moves are dropped...
    clock->advance(0.9);
    controller->handle(move(0.1, 0.1));
    controller->handle(key(5, true));
    controller->handle(button(1, true));
    controller->handle(text("hi"));
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(controller->heldKeys(), (std::set<uint16_t>{4}));

    // ...releases pass, including a key message without keyDown, which releases too.
    controller->handle(key(4, false));
    controller->handle(button(0, false));
    controller->handle(key(6, std::nullopt));
    controller->handle(button(1, std::nullopt));
    EXPECT_EQ(take(), (std::vector{
                          InputEvent::key(4, false, 0),
                          InputEvent::mouse(MouseType::leftUp, Button::left, 900, 500, 1, 0),
                          InputEvent::key(6, false, 0),
                          InputEvent::mouse(MouseType::rightUp, Button::right, 900, 500, 1, 0),
                      }));
    EXPECT_TRUE(controller->heldKeys().empty());
    EXPECT_TRUE(controller->heldButtons().empty());

    // A full second after the window opened, a new window begins.
    clock->advance(0.1);
    controller->handle(move(0.1, 0.1));
    EXPECT_EQ(take().size(), 1u);
}

TEST_F(InputControllerTest, WithoutPermissionNothingHappensAndNothingIsCounted) {
    permitted = false;
    for (int i = 0; i < 600; ++i) {
        controller->handle(key(1, true));
    }
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(controller->heldKeys().empty());
    permitted = true;
    controller->handle(key(1, true));
    EXPECT_EQ(take().size(), 1u);
}

TEST_F(InputControllerTest, ReleaseAllLetsGoOfEverythingOnce) {
    controller->handle(move(0.25, 0.25));
    controller->handle(key(0, true, 0x100000));
    controller->handle(key(56, true));
    controller->handle(key(9, true));
    controller->handle(key(9, false));  // already released: not released again
    controller->handle(button(0, true, 0.5, 0.5));
    controller->handle(button(1, true, 0.5, 0.5));
    take();

    controller->releaseAll();
    // Releases carry no flags; buttons go up where the pointer is.
    EXPECT_EQ(take(),
              (std::vector{
                  InputEvent::key(0, false, std::nullopt),
                  InputEvent::key(56, false, std::nullopt),
                  InputEvent::mouse(MouseType::leftUp, Button::left, 900, 500, 0, std::nullopt),
                  InputEvent::mouse(MouseType::rightUp, Button::right, 900, 500, 0, std::nullopt),
              }));
    EXPECT_TRUE(controller->heldKeys().empty());
    EXPECT_TRUE(controller->heldButtons().empty());

    controller->releaseAll();
    EXPECT_TRUE(take().empty());
}

TEST(InputMessage, TakesTheInputFieldsOfAControlMessage) {
    ControlMessage control;
    control.type = "input";
    control.event = "key";
    control.x = 0.25;
    control.y = -3;
    control.button = 1;
    control.keyCode = 9;
    control.keyDown = false;
    control.modifiers = 0x100000;
    control.text = "\xC3\xA9";
    const InputMessage m = InputMessage::from(control);
    EXPECT_EQ(m.event, "key");
    EXPECT_EQ(m.x, 0.25);
    EXPECT_EQ(m.y, -3);
    EXPECT_EQ(m.button, 1);
    EXPECT_EQ(m.keyCode, 9);
    EXPECT_EQ(m.keyDown, false);
    EXPECT_EQ(m.modifiers, 0x100000u);
    EXPECT_EQ(m.text, "\xC3\xA9");

    // Absent stays absent: a key message without keyDown must still read as a release.
    const InputMessage empty = InputMessage::from(ControlMessage{});
    EXPECT_FALSE(empty.event || empty.x || empty.y || empty.button || empty.keyCode ||
                 empty.keyDown || empty.modifiers || empty.text);
}

TEST_F(InputControllerTest, PasteIsOneCommandVPressAndRelease) {
    // The clipboard's "paste" hands over exactly these two messages.
    controller->handle(key(9, true, 1048576));
    controller->handle(key(9, false, 1048576));
    EXPECT_EQ(take(), (std::vector{InputEvent::key(9, true, InputEvent::kCommandFlag),
                                   InputEvent::key(9, false, InputEvent::kCommandFlag)}));
}

}  // namespace
}  // namespace caldrovex
