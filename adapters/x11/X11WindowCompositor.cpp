#include "adapters/x11/X11WindowCompositor.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <string>

#include "adapters/x11/X11CurtainSupport.h"
#include "adapters/x11/X11ErrorTrap.h"

namespace caldrovex::platform {

namespace {

// Windows nest rarely more than a few levels; a longer walk means a broken tree.
constexpr int kMaxDepth = 64;

struct RegionDeleter {
    void operator()(_XRegion* region) const { XDestroyRegion(region); }
};
using RegionPtr = std::unique_ptr<_XRegion, RegionDeleter>;

RegionPtr rectangleRegion(int x, int y, int width, int height) {
    RegionPtr region(XCreateRegion());
    XRectangle rect{static_cast<short>(x), static_cast<short>(y),
                    static_cast<unsigned short>(width), static_cast<unsigned short>(height)};
    XUnionRectWithRegion(&rect, region.get(), region.get());
    return region;
}

bool hasAlpha(const XRenderPictFormat* format) {
    return format != nullptr && format->type == PictTypeDirect && format->direct.alphaMask != 0;
}

}  // namespace

std::unique_ptr<X11WindowCompositor> X11WindowCompositor::open(Display* display,
                                                               const CaptureDisplay& area,
                                                               X11ErrorTrap& trap) {
    int renderEvent = 0;
    int renderError = 0;
    int damageEvent = 0;
    int damageError = 0;
    int fixesEvent = 0;
    int fixesError = 0;
    if (!x11HasComposite(display) || !XRenderQueryExtension(display, &renderEvent, &renderError) ||
        !XDamageQueryExtension(display, &damageEvent, &damageError) ||
        !XFixesQueryExtension(display, &fixesEvent, &fixesError)) {
        return nullptr;
    }
    return std::unique_ptr<X11WindowCompositor>(
        new X11WindowCompositor(display, area, trap, damageEvent, fixesEvent));
}

X11WindowCompositor::X11WindowCompositor(Display* display, const CaptureDisplay& area,
                                         X11ErrorTrap& trap, int damageEvent, int fixesEvent)
    : display_(display),
      root_(DefaultRootWindow(display)),
      area_(area),
      trap_(trap),
      damageEvent_(damageEvent),
      fixesEvent_(fixesEvent) {
    int screen = DefaultScreen(display_);
    rootPixmapAtom_ = XInternAtom(display_, "_XROOTPMAP_ID", False);
    managerAtom_ = XInternAtom(display_, ("_NET_WM_CM_S" + std::to_string(screen)).c_str(), False);
    XCompositeRedirectSubwindows(display_, root_, CompositeRedirectAutomatic);
    loadWindows();
    buffer_ = XCreatePixmap(display_, root_, static_cast<unsigned>(area_.width),
                            static_cast<unsigned>(area_.height),
                            static_cast<unsigned>(DefaultDepth(display_, screen)));
    bufferPicture_ = XRenderCreatePicture(
        display_, buffer_, XRenderFindVisualFormat(display_, DefaultVisual(display_, screen)), 0,
        nullptr);
    loadBackground();
    watchCompositingManager();
}

X11WindowCompositor::~X11WindowCompositor() {
    while (!surfaces_.empty()) {
        dropSurface(surfaces_.begin()->first);
    }
    if (background_ != None) XRenderFreePicture(display_, background_);
    XRenderFreePicture(display_, bufferPicture_);
    XFreePixmap(display_, buffer_);
    XSelectInput(display_, root_, NoEventMask);
    XCompositeUnredirectSubwindows(display_, root_, CompositeRedirectAutomatic);
    // Whatever failed about windows that vanished meanwhile is of no interest to the owner.
    trap_.check();
}

void X11WindowCompositor::loadWindows() {
    // Held while the list is read, so that no window changes between the query and the
    // first event: from here on, the events alone keep the list right.
    XGrabServer(display_);
    XSelectInput(display_, root_, SubstructureNotifyMask | PropertyChangeMask);
    Window rootReturn = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    std::vector<X11WindowStack::TopWindow> windows;
    if (XQueryTree(display_, root_, &rootReturn, &parent, &children, &count) != 0) {
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(display_, children[i], &a) != 0) {
                windows.push_back({children[i], a.x, a.y, a.width, a.height, a.border_width,
                                   a.map_state == IsViewable});
            }
        }
    }
    if (children != nullptr) XFree(children);
    XUngrabServer(display_);
    XFlush(display_);
    stack_.reset(std::move(windows));
    for (const auto& window : stack_.bottomToTop()) {
        if (window.mapped) startSurface(window.id);
    }
}

void X11WindowCompositor::startSurface(Window id) {
    Surface& surface = surfaces_[id];
    if (surface.damage == 0) {
        // Raw rectangles: each event says where, and nothing needs taking out to re-arm.
        surface.damage = XDamageCreate(display_, id, XDamageReportRawRectangles);
    }
    surface.stale = true;
}

void X11WindowCompositor::releasePicture(Surface& surface) {
    if (surface.picture != 0) XRenderFreePicture(display_, surface.picture);
    if (surface.pixmap != 0) XFreePixmap(display_, surface.pixmap);
    surface.picture = 0;
    surface.pixmap = 0;
    surface.usable = false;
}

void X11WindowCompositor::dropSurface(Window id) {
    auto found = surfaces_.find(id);
    if (found == surfaces_.end()) return;
    releasePicture(found->second);
    // Gone with the window when it was destroyed; the error that then comes is absorbed.
    XDamageDestroy(display_, found->second.damage);
    surfaces_.erase(found);
}

// Names the window's current pixmap and wraps it in a picture. One round trip to learn
// whether that worked: a window that is no longer mapped, or is not redirected (the
// compositing manager's overlay window never is), must not count as covering anything.
void X11WindowCompositor::nameContents(Window id, Surface& surface) {
    surface.stale = false;
    releasePicture(surface);
    XWindowAttributes a;
    if (XGetWindowAttributes(display_, id, &a) == 0 || a.c_class == InputOnly ||
        a.map_state != IsViewable) {
        trap_.take();
        return;
    }
    stack_.setGeometry(id, a.x, a.y, a.width, a.height, a.border_width);
    XRenderPictFormat* format = XRenderFindVisualFormat(display_, a.visual);
    if (format == nullptr) return;
    surface.alpha = hasAlpha(format);
    trap_.take();
    surface.pixmap = XCompositeNameWindowPixmap(display_, id);
    XRenderPictureAttributes attributes{};
    attributes.subwindow_mode = IncludeInferiors;
    surface.picture =
        XRenderCreatePicture(display_, surface.pixmap, format, CPSubwindowMode, &attributes);
    surface.usable = trap_.check() == 0;
    if (!surface.usable) releasePicture(surface);
}

// A window reparented to the root comes without its size; the server is asked at once, so
// that its map and damage count where it lies.
void X11WindowCompositor::learnGeometry(Window id) {
    const X11WindowStack::TopWindow* window = stack_.find(id);
    if (window == nullptr || window->width > 0) return;
    XWindowAttributes a;
    if (XGetWindowAttributes(display_, id, &a) == 0) {
        trap_.take();
        return;
    }
    stack_.setGeometry(id, a.x, a.y, a.width, a.height, a.border_width);
}

void X11WindowCompositor::loadBackground() {
    if (background_ != None) {
        XRenderFreePicture(display_, background_);
        background_ = None;
    }
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    Pixmap pixmap = None;
    if (XGetWindowProperty(display_, root_, rootPixmapAtom_, 0, 1, False, XA_PIXMAP, &type, &format,
                           &items, &remaining, &data) == Success &&
        type == XA_PIXMAP && format == 32 && items == 1) {
        pixmap = static_cast<Pixmap>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data != nullptr) XFree(data);
    if (pixmap == None) return;
    int screen = DefaultScreen(display_);
    XRenderPictureAttributes attributes{};
    attributes.repeat = RepeatNormal;
    trap_.take();
    background_ = XRenderCreatePicture(
        display_, pixmap, XRenderFindVisualFormat(display_, DefaultVisual(display_, screen)),
        CPRepeat, &attributes);
    // The pixmap belongs to whoever set the background and may already be gone.
    if (trap_.check() != 0) background_ = None;
}

void X11WindowCompositor::watchCompositingManager() {
    XFixesSelectSelectionInput(display_, root_, managerAtom_,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
    managerPresent_ = XGetSelectionOwner(display_, managerAtom_) != None;
}

bool X11WindowCompositor::touchesArea(const X11WindowStack::TopWindow& w) const {
    return w.x < area_.x + area_.width && w.y < area_.y + area_.height &&
           w.x + w.outerWidth() > area_.x && w.y + w.outerHeight() > area_.y;
}

void X11WindowCompositor::addDamage(int top, int height) {
    damage_.add(std::max(top - area_.y, 0), std::min(top + height - area_.y, area_.height));
}

bool X11WindowCompositor::shown(const X11WindowStack::TopWindow& w) const {
    return w.mapped && !excluded_.contains(w.id) && touchesArea(w);
}

bool X11WindowCompositor::handleWindowEvent(const XEvent& event) {
    // Where the window was matters too: what it uncovers by leaving or moving changes.
    std::optional<X11WindowStack::TopWindow> before;
    Window subject = None;
    if (event.type == UnmapNotify) subject = event.xunmap.window;
    if (event.type == DestroyNotify) subject = event.xdestroywindow.window;
    if (event.type == ConfigureNotify) subject = event.xconfigure.window;
    if (const X11WindowStack::TopWindow* known = stack_.find(subject)) before = *known;

    auto update = stack_.apply(event, root_);
    if (!update) return false;
    using Change = X11WindowStack::Change;
    switch (update->change) {
        case Change::added:
            learnGeometry(update->window);
            return false;
        case Change::mapped:
            startSurface(update->window);
            break;
        case Change::unmapped:
        case Change::removed:
            dropSurface(update->window);
            break;
        case Change::resized:
            if (auto found = surfaces_.find(update->window); found != surfaces_.end()) {
                found->second.stale = true;
            }
            break;
        case Change::moved:
        case Change::restacked:
            break;
    }
    // What it covers now and what it uncovered both change.
    bool changed = false;
    const X11WindowStack::TopWindow* now = stack_.find(update->window);
    const X11WindowStack::TopWindow* was = before ? &*before : nullptr;
    for (const X11WindowStack::TopWindow* window : {now, was}) {
        if (window != nullptr && shown(*window)) {
            addDamage(window->y, window->outerHeight());
            changed = true;
        }
    }
    return changed;
}

bool X11WindowCompositor::handleEvent(const XEvent& event) {
    if (event.type == damageEvent_ + XDamageNotify) {
        const auto& damage = reinterpret_cast<const XDamageNotifyEvent&>(event);
        auto found = surfaces_.find(damage.drawable);
        if (found == surfaces_.end() || found->second.damage != damage.damage) return false;
        const X11WindowStack::TopWindow* window = stack_.find(damage.drawable);
        if (window == nullptr || !shown(*window)) return false;
        // The rectangle is in the window's own coordinates, which start inside its border.
        addDamage(window->y + window->border + damage.area.y, damage.area.height);
        return true;
    }
    if (event.type == fixesEvent_ + XFixesSelectionNotify) {
        const auto& selection = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
        if (selection.selection != managerAtom_) return false;
        managerPresent_ =
            selection.subtype == XFixesSetSelectionOwnerNotify && selection.owner != None;
        damage_ = RowBands::all(area_.height);
        return true;
    }
    if (event.type == PropertyNotify) {
        if (event.xproperty.window != root_ || event.xproperty.atom != rootPixmapAtom_) {
            return false;
        }
        loadBackground();
        damage_ = RowBands::all(area_.height);
        return true;
    }
    return handleWindowEvent(event);
}

std::optional<Window> X11WindowCompositor::topLevelOf(Window id) {
    Window current = id;
    for (int depth = 0; depth < kMaxDepth && current != root_; ++depth) {
        Window rootReturn = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (XQueryTree(display_, current, &rootReturn, &parent, &children, &count) == 0) {
            trap_.take();
            return std::nullopt;
        }
        if (children != nullptr) XFree(children);
        if (parent == root_) return current;
        current = parent;
    }
    return std::nullopt;
}

void X11WindowCompositor::paintBackground(Region uncovered) {
    XRenderSetPictureClipRegion(display_, bufferPicture_, uncovered);
    if (background_ != None) {
        XRenderComposite(display_, PictOpSrc, background_, None, bufferPicture_, area_.x, area_.y,
                         0, 0, 0, 0, static_cast<unsigned>(area_.width),
                         static_cast<unsigned>(area_.height));
    } else {
        XRenderColor black{0, 0, 0, 0xffff};
        XRenderFillRectangle(display_, PictOpSrc, bufferPicture_, &black, 0, 0,
                             static_cast<unsigned>(area_.width),
                             static_cast<unsigned>(area_.height));
    }
}

void X11WindowCompositor::render() {
    stats_ = {};
    struct Blend {
        const Surface* surface;
        int x, y, width, height;
        RegionPtr clip;
    };
    std::vector<Blend> blends;  // top first
    RegionPtr uncovered = rectangleRegion(0, 0, area_.width, area_.height);
    RegionPtr visible(XCreateRegion());
    const auto& windows = stack_.bottomToTop();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
        if (!it->mapped || excluded_.contains(it->id)) continue;
        auto found = surfaces_.find(it->id);
        if (found == surfaces_.end()) continue;
        Surface& surface = found->second;
        // Naming the contents also tells where the window is now.
        if (surface.stale) nameContents(it->id, surface);
        if (!surface.usable || !touchesArea(*it)) continue;
        // Where it is visible: its rectangle minus everything opaque above it.
        int x = it->x - area_.x;
        int y = it->y - area_.y;
        RegionPtr rect = rectangleRegion(x, y, it->outerWidth(), it->outerHeight());
        XIntersectRegion(rect.get(), uncovered.get(), visible.get());
        if (XEmptyRegion(visible.get())) {
            ++stats_.covered;
            continue;
        }
        ++stats_.drawn;
        if (surface.alpha && managerPresent_) {
            RegionPtr clip(XCreateRegion());
            XUnionRegion(visible.get(), clip.get(), clip.get());
            blends.push_back(
                {&surface, x, y, it->outerWidth(), it->outerHeight(), std::move(clip)});
            continue;
        }
        XRenderSetPictureClipRegion(display_, bufferPicture_, visible.get());
        XRenderComposite(display_, PictOpSrc, surface.picture, None, bufferPicture_, 0, 0, 0, 0, x,
                         y, static_cast<unsigned>(it->outerWidth()),
                         static_cast<unsigned>(it->outerHeight()));
        XSubtractRegion(uncovered.get(), rect.get(), uncovered.get());
    }
    paintBackground(uncovered.get());
    for (auto it = blends.rbegin(); it != blends.rend(); ++it) {
        XRenderSetPictureClipRegion(display_, bufferPicture_, it->clip.get());
        XRenderComposite(display_, PictOpOver, it->surface->picture, None, bufferPicture_, 0, 0, 0,
                         0, it->x, it->y, static_cast<unsigned>(it->width),
                         static_cast<unsigned>(it->height));
    }
}

}  // namespace caldrovex::platform
