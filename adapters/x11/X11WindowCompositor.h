#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xrender.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "adapters/x11/X11WindowStack.h"
#include "video/CaptureDisplay.h"
#include "video/RowBands.h"

namespace caldrovex::platform {

class X11ErrorTrap;

// Builds the picture of one display area from the top-level windows' own contents, so that
// chosen windows (the privacy curtain's) can be left out of it while the local screen still
// shows them.
//
// At creation it redirects the root's children with Composite in automatic mode: every
// top-level window then draws into a pixmap of its own, and the server keeps painting the
// local screen from those pixmaps as before (a compositing manager, which redirects them
// manually, keeps working: both kinds of redirection coexist). A frame is rebuilt with
// XRender into a pixmap of the area's size, top-down: each opaque window is copied where no
// window above it covers it, and a window entirely covered is skipped, so the cost follows
// the visible area rather than the number of windows. What no window covers comes from the
// root's background picture (_XROOTPMAP_ID, else black); the root's own pixels cannot be
// used, since the server paints the windows there too, left-out ones included. Windows with
// an alpha channel are blended last, bottom-up, with Over when a compositing manager owns
// _NET_WM_CM_S<n> (it blends them for the local screen too), else copied as the server does
// without one.
//
// The window list follows SubstructureNotify events on the root, and each mapped window has
// a Damage object of its own: damage on the root alone would miss drawing that happens
// underneath a left-out window, whose pixels on the root do not change. Damage comes as raw
// rectangles, one event per drawing, so the rows that changed are known without asking. Windows
// vanish at any moment, so requests about them can fail (BadWindow, BadMatch, BadPixmap,
// BadPicture, BadDamage); those errors land in the connection's X11ErrorTrap and only cost that
// window its place in one frame.
//
// Used by one thread, the owner of `display`, which must outlive the compositor and has an
// X11ErrorTrap registered for as long as the compositor lives.
class X11WindowCompositor {
public:
    // Null when the display lacks Composite 0.2 or Render (nothing is changed then).
    static std::unique_ptr<X11WindowCompositor> open(Display* display, const CaptureDisplay& area,
                                                     X11ErrorTrap& trap);
    ~X11WindowCompositor();

    X11WindowCompositor(const X11WindowCompositor&) = delete;
    X11WindowCompositor& operator=(const X11WindowCompositor&) = delete;

    // Takes one event off the connection. True when the area's picture may have changed; the
    // rows of the area it may have changed are added to `damage()`.
    bool handleEvent(const XEvent& event);

    // The rows of the area that may have changed since the last `takeDamage` (over-counted
    // rather than missed: drawing hidden under other windows counts too).
    const RowBands& damage() const { return damage_; }
    RowBands takeDamage() { return std::exchange(damage_, RowBands()); }

    // The top-level window that `id` is or lies in; nullopt when no such window exists (or
    // `id` is the root).
    std::optional<Window> topLevelOf(Window id);

    // Leaves these top-level windows out of the pictures from now on; their own changes no
    // longer count as changes of the picture.
    void exclude(std::set<Window> windows) { excluded_ = std::move(windows); }
    const std::set<Window>& excluded() const { return excluded_; }

    // Builds the area's picture into `buffer()`. Errors about vanishing windows are absorbed.
    void render();

    // The pixmap holding the last picture: the area's size, the root's depth.
    Pixmap buffer() const { return buffer_; }

    // What the last `render` did, for tests and benchmarks.
    struct Stats {
        int drawn = 0;    // windows copied or blended
        int covered = 0;  // windows skipped because windows above covered them
    };
    Stats stats() const { return stats_; }

private:
    // What the compositor holds for one mapped window.
    struct Surface {
        Damage damage = 0;
        Pixmap pixmap = 0;
        Picture picture = 0;
        bool alpha = false;   // its format has an alpha channel
        bool usable = false;  // `picture` shows the window's current contents
        bool stale = true;    // the contents were reallocated (mapped, resized) since named
    };

    X11WindowCompositor(Display* display, const CaptureDisplay& area, X11ErrorTrap& trap,
                        int damageEvent, int fixesEvent);

    void loadWindows();
    void startSurface(Window id);
    void dropSurface(Window id);
    void releasePicture(Surface& surface);
    void nameContents(Window id, Surface& surface);
    void learnGeometry(Window id);
    void loadBackground();
    void watchCompositingManager();
    bool touchesArea(const X11WindowStack::TopWindow& window) const;
    // Adds rows [top, top + height) of the root, as far as they lie in the area.
    void addDamage(int top, int height);
    // Whether the window is drawn into the picture, as far as the events tell.
    bool shown(const X11WindowStack::TopWindow& window) const;
    bool handleWindowEvent(const XEvent& event);
    void paintBackground(Region uncovered);

    Display* display_;
    Window root_;
    CaptureDisplay area_;
    X11ErrorTrap& trap_;
    int damageEvent_;
    int fixesEvent_;
    Atom rootPixmapAtom_ = None;
    Atom managerAtom_ = None;
    bool managerPresent_ = false;

    X11WindowStack stack_;
    std::map<Window, Surface> surfaces_;  // mapped windows
    std::set<Window> excluded_;
    Pixmap buffer_ = 0;
    Picture bufferPicture_ = 0;
    Picture background_ = 0;  // the root's background pixmap, tiled; None: black
    Stats stats_;
    RowBands damage_;
};

}  // namespace caldrovex::platform
