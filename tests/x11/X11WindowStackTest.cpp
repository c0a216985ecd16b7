// The top-level window list kept from SubstructureNotify events alone, fed synthetic events:
// stacking order, mapping, geometry, and windows that come and go.

#include <gtest/gtest.h>

#include <vector>

#include "adapters/x11/X11WindowStack.h"

namespace caldrovex::platform {
namespace {

using Change = X11WindowStack::Change;

constexpr Window kRoot = 1;
constexpr Window kOther = 99;  // some window that is not the root

XEvent created(Window id, int x, int y, int width, int height, Window parent = kRoot) {
    XEvent e{};
    e.xcreatewindow = {CreateNotify, 0, False, nullptr, parent, id, x, y, width, height, 0, False};
    return e;
}
XEvent configured(Window id, int x, int y, int width, int height, Window above, int border = 0) {
    XEvent e{};
    e.xconfigure = {ConfigureNotify, 0,      False,  nullptr, kRoot, id, x, y,
                    width,           height, border, above,   False};
    return e;
}
XEvent mapped(Window id) {
    XEvent e{};
    e.xmap = {MapNotify, 0, False, nullptr, kRoot, id, False};
    return e;
}
XEvent unmapped(Window id) {
    XEvent e{};
    e.xunmap = {UnmapNotify, 0, False, nullptr, kRoot, id, False};
    return e;
}
XEvent destroyed(Window id) {
    XEvent e{};
    e.xdestroywindow = {DestroyNotify, 0, False, nullptr, kRoot, id};
    return e;
}
XEvent reparented(Window id, Window parent) {
    XEvent e{};
    e.xreparent = {ReparentNotify, 0, False, nullptr, kRoot, id, parent, 5, 6, False};
    return e;
}
XEvent circulated(Window id, int place) {
    XEvent e{};
    e.xcirculate = {CirculateNotify, 0, False, nullptr, kRoot, id, place};
    return e;
}

std::vector<Window> order(const X11WindowStack& stack) {
    std::vector<Window> ids;
    for (const auto& w : stack.bottomToTop()) ids.push_back(w.id);
    return ids;
}

// Three windows, 10 at the bottom, 30 on top.
X11WindowStack threeWindows() {
    X11WindowStack stack;
    stack.reset({{10, 0, 0, 100, 100, 0, true},
                 {20, 50, 50, 100, 100, 0, true},
                 {30, 80, 80, 100, 100, 0, false}});
    return stack;
}

TEST(X11WindowStackTest, StackingOrderFollowsTheEvents) {
    struct Case {
        const char* what;
        XEvent event;
        std::vector<Window> expected;
        std::optional<Change> change;
    };
    const Case cases[] = {
        {"a new window is created on top",
         created(40, 0, 0, 10, 10),
         {10, 20, 30, 40},
         Change::added},
        {"a child of another window is not a top-level window",
         created(40, 0, 0, 10, 10, kOther),
         {10, 20, 30},
         std::nullopt},
        {"raised: above the window that was on top",
         configured(10, 0, 0, 100, 100, 30),
         {20, 30, 10},
         Change::restacked},
        {"lowered: above no sibling is the bottom",
         configured(30, 80, 80, 100, 100, None),
         {30, 10, 20},
         Change::restacked},
        {"placed above a sibling in the middle",
         configured(30, 80, 80, 100, 100, 10),
         {10, 30, 20},
         Change::restacked},
        {"above a sibling not heard of yet: on top",
         configured(10, 0, 0, 100, 100, 77),
         {20, 30, 10},
         Change::restacked},
        {"a configure that changes nothing",
         configured(20, 50, 50, 100, 100, 10),
         {10, 20, 30},
         std::nullopt},
        {"circulated to the bottom",
         circulated(30, PlaceOnBottom),
         {30, 10, 20},
         Change::restacked},
        {"circulated to the top", circulated(10, PlaceOnTop), {20, 30, 10}, Change::restacked},
        {"destroyed", destroyed(20), {10, 30}, Change::removed},
        {"reparented into another window (a frame)",
         reparented(20, kOther),
         {10, 30},
         Change::removed},
        {"reparented to the root: on top", reparented(50, kRoot), {10, 20, 30, 50}, Change::added},
        {"an unknown window destroyed", destroyed(77), {10, 20, 30}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        X11WindowStack stack = threeWindows();
        auto update = stack.apply(c.event, kRoot);
        EXPECT_EQ(order(stack), c.expected);
        ASSERT_EQ(update.has_value(), c.change.has_value());
        if (update) {
            EXPECT_EQ(update->change, *c.change);
        }
    }
}

TEST(X11WindowStackTest, MappingAndGeometry) {
    X11WindowStack stack = threeWindows();
    EXPECT_EQ(stack.apply(mapped(30), kRoot)->change, Change::mapped);
    EXPECT_TRUE(stack.find(30)->mapped);
    // Mapped twice (the list was read after the map): nothing new.
    EXPECT_FALSE(stack.apply(mapped(30), kRoot));
    EXPECT_EQ(stack.apply(unmapped(10), kRoot)->change, Change::unmapped);
    EXPECT_FALSE(stack.find(10)->mapped);

    // A move keeps the contents; a new size or border reallocates them.
    EXPECT_EQ(stack.apply(configured(20, 60, 70, 100, 100, 10), kRoot)->change, Change::moved);
    EXPECT_EQ(stack.apply(configured(20, 60, 70, 120, 100, 10), kRoot)->change, Change::resized);
    EXPECT_EQ(stack.apply(configured(20, 60, 70, 120, 100, 10, 2), kRoot)->change, Change::resized);
    const auto* w = stack.find(20);
    EXPECT_EQ(w->x, 60);
    EXPECT_EQ(w->y, 70);
    EXPECT_EQ(w->outerWidth(), 124);
    EXPECT_EQ(w->outerHeight(), 104);

    // A window reparented to the root has no known size until the server is asked.
    stack.apply(reparented(50, kRoot), kRoot);
    EXPECT_EQ(stack.find(50)->width, 0);
    stack.setGeometry(50, 5, 6, 300, 200, 1);
    EXPECT_EQ(stack.find(50)->outerWidth(), 302);
}

}  // namespace
}  // namespace caldrovex::platform
