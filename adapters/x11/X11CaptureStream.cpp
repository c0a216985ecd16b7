#include "adapters/x11/X11CaptureStream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11Handles.h"
#include "adapters/x11/X11ScreenGrabber.h"
#include "adapters/x11/X11WindowCompositor.h"
#include "video/CaptureSchedule.h"
#include "video/FrameConverter.h"

namespace caldrovex::platform {

namespace {

constexpr const char* kCannotOpen = "The X display could not be opened.";
constexpr const char* kMissingExtensions =
    "The X display lacks the DAMAGE or XFIXES extension that screen capture needs.";
constexpr const char* kDisplayGone = "The captured display is no longer available.";

// Frames are stamped in microseconds of the capture clock, the pipeline's clock too.
constexpr int32_t kTimescale = 1'000'000;

}  // namespace

// What the capture thread shares with the stream object; outlives both.
struct X11CaptureStream::Shared {
    std::optional<std::string> displayName;
    CaptureDisplay display;
    CaptureConfiguration configuration;
    QueuePtr queue;
    ClockPtr clock;
    CaptureService::FrameHandler onFrame;
    CaptureService::StopHandler onStop;
    int wakeFd = -1;

    // Windows to leave out from the next picture on, and who waits for that picture.
    struct Exclusion {
        std::set<uint32_t> windowIDs;
        std::function<void(bool)> done;
    };

    std::mutex mutex;
    bool started = false;                     // guarded by mutex
    bool stopRequested = false;               // guarded by mutex
    bool finished = false;                    // guarded by mutex: the thread has ended
    Done stopDone;                            // guarded by mutex
    std::optional<Exclusion> exclusionAsked;  // guarded by mutex: not yet taken by the thread

    ~Shared() {
        if (wakeFd >= 0) {
            close(wakeFd);
        }
    }

    void wake() const {
        uint64_t one = 1;
        // A full counter already wakes the thread; nothing to do on failure.
        [[maybe_unused]] ssize_t written = write(wakeFd, &one, sizeof one);
    }

    bool stopping() {
        std::lock_guard guard(mutex);
        return stopRequested;
    }

    std::optional<Exclusion> takeExclusion() {
        std::lock_guard guard(mutex);
        std::optional<Exclusion> taken;
        taken.swap(exclusionAsked);
        return taken;
    }

    // The thread is done: the stop's completion (if one waits) runs on the capture queue,
    // behind every picture posted before; an exclusion nobody took is refused.
    void finish() {
        Done done;
        std::optional<Exclusion> untaken;
        {
            std::lock_guard guard(mutex);
            finished = true;
            done = std::move(stopDone);
            stopDone = nullptr;
            untaken.swap(exclusionAsked);
        }
        if (untaken) {
            untaken->done(false);
        }
        if (done) {
            queue->post([done] { done(std::nullopt); });
        }
    }
};

namespace {

// Everything the capture thread holds on the X server, opened and closed in one place.
class CaptureLoop {
public:
    explicit CaptureLoop(X11CaptureStream::Shared& shared)
        : s_(shared), schedule_(shared.configuration.fps) {}

    ~CaptureLoop() {
        if (!display_) {
            return;
        }
        if (excluding_) {
            excluding_(false);
        }
        compositor_.reset();
        if (damage_ != 0) XDamageDestroy(display_.get(), damage_);
        grabber_.reset();
        trap_.reset();
    }

    // Connects and sets up the grab and the event sources. Throws CaldrovexError.
    void open() {
        display_ = openDisplay(s_.displayName);
        if (!display_) {
            throw CaldrovexError(kCannotOpen);
        }
        Display* d = display_.get();
        trap_ = std::make_unique<X11ErrorTrap>(d);
        int errorBase = 0;
        if (!XDamageQueryExtension(d, &damageEvent_, &errorBase) ||
            !XFixesQueryExtension(d, &fixesEvent_, &errorBase)) {
            throw CaldrovexError(kMissingExtensions);
        }
        const CaptureDisplay& area = s_.display;
        int screen = DefaultScreen(d);
        if (area.width <= 0 || area.height <= 0 || area.x < 0 || area.y < 0 ||
            area.x + area.width > DisplayWidth(d, screen) ||
            area.y + area.height > DisplayHeight(d, screen)) {
            throw CaldrovexError(kDisplayGone);
        }
        grabber_ = std::make_unique<X11ScreenGrabber>(d, area.x, area.y, area.width, area.height);
        converter_ = std::make_unique<FrameConverter>(
            area.width, area.height, s_.configuration.width, s_.configuration.height);
        // The stream's first pictures would otherwise pay for their memory's first touch.
        converter_->prefault();
        Window root = DefaultRootWindow(d);
        // Raw rectangles: every drawing reports where it drew, so the rows to convert are
        // known without a round trip, and nothing needs taking out to re-arm the report.
        damage_ = XDamageCreate(d, root, XDamageReportRawRectangles);
        XFixesSelectCursorInput(d, root, XFixesDisplayCursorNotifyMask);
        selectRawMotion();
        if (trap_->check() != 0) {
            throw CaldrovexError(kDisplayGone);
        }
        // Without Composite the stream still runs; it only cannot leave windows out.
        compositor_ = X11WindowCompositor::open(d, area, *trap_);
    }

    // Takes pictures until a stop is requested (nullopt) or the display goes away (the
    // sentence).
    std::optional<std::string> run() {
        Display* d = display_.get();
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {s_.wakeFd, POLLIN, 0}};
        for (;;) {
            drainEvents();
            if (s_.stopping()) {
                return std::nullopt;
            }
            takeExclusion();
            noteChanges();
            double now = s_.clock->monotonic();
            std::optional<double> wait = schedule_.wait(now);
            if (wait && *wait <= 0) {
                if (!takePicture(now)) {
                    return kDisplayGone;
                }
                continue;
            }
            XFlush(d);
            if (XPending(d) > 0) {
                continue;
            }
            int timeout = wait ? static_cast<int>(std::ceil(*wait * 1000)) : -1;
            poll(fds, 2, timeout);
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t got = read(s_.wakeFd, &count, sizeof count);
            }
        }
    }

private:
    void selectRawMotion() {
        Display* d = display_.get();
        int event = 0;
        int error = 0;
        int major = 2;
        int minor = 0;
        if (!XQueryExtension(d, "XInputExtension", &xiOpcode_, &event, &error) ||
            XIQueryVersion(d, &major, &minor) != Success) {
            xiOpcode_ = -1;
            return;
        }
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawMotion);
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
        XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
    }

    // Pictures are composed from the windows while some are left out; otherwise the screen
    // is grabbed as it is, which costs less.
    bool composing() const { return compositor_ && !compositor_->excluded().empty(); }

    void drainEvents() {
        Display* d = display_.get();
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == damageEvent_ + XDamageNotify &&
                reinterpret_cast<XDamageNotifyEvent&>(event).damage == damage_) {
                // The root's pixels show left-out windows too: its damage counts only while
                // the screen is grabbed as it is.
                if (!composing()) rootDamaged(reinterpret_cast<XDamageNotifyEvent&>(event).area);
            } else if (event.type == fixesEvent_ + XFixesCursorNotify) {
                schedule_.changed();
            } else if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_) {
                pointerMoved_ = true;
            } else if (compositor_ && compositor_->handleEvent(event) && composing()) {
                schedule_.changed();
            }
        }
    }

    // Takes a request to leave windows out: each id must name a window that exists; the
    // top-level windows holding them are left out from the next picture on, and the request
    // is answered once that picture is on its way.
    void takeExclusion() {
        std::optional<X11CaptureStream::Shared::Exclusion> asked = s_.takeExclusion();
        if (!asked) {
            return;
        }
        if (!compositor_) {
            return asked->done(false);
        }
        std::set<Window> windows;
        for (uint32_t id : asked->windowIDs) {
            std::optional<Window> top = compositor_->topLevelOf(id);
            if (!top) {
                return asked->done(false);
            }
            windows.insert(*top);
        }
        if (excluding_) {
            // Superseded before its picture was taken.
            excluding_(false);
        }
        compositor_->exclude(std::move(windows));
        excluding_ = std::move(asked->done);
        // The next picture is composed differently (or grabbed again as it is): all of it.
        damagedRows_ = RowBands::all(s_.display.height);
        schedule_.changed();
    }

    // Notes the rows of our rectangle that a drawing on the root touched.
    void rootDamaged(const XRectangle& r) {
        const CaptureDisplay& area = s_.display;
        if (r.x < area.x + area.width && r.y < area.y + area.height && r.x + r.width > area.x &&
            r.y + r.height > area.y) {
            damagedRows_.add(std::max(r.y - area.y, 0),
                             std::min(r.y + r.height - area.y, area.height));
            schedule_.changed();
        }
    }

    // Turns what the events said into "the picture changed", looking only at our rectangle.
    void noteChanges() {
        if (pointerMoved_) {
            pointerMoved_ = false;
            // The pointer matters where it is drawn now or was drawn last.
            if (!schedule_.hasChange() && s_.configuration.showsCursor &&
                (!cursorRows_.empty() || grabber_->cursorInside())) {
                schedule_.changed();
            }
        }
    }

    bool takePicture(double now) {
        // Damage reported from here on is news for the next picture. What changed: the rows
        // drawn on (of the root, or of the windows composed), and where the pointer was drawn
        // last time and is drawn now.
        RowBands changed = std::exchange(damagedRows_, RowBands());
        RowBands composed = compositor_ ? compositor_->takeDamage() : RowBands();
        if (composing()) {
            changed.add(composed);
        }
        changed.add(cursorRows_);
        if (s_.configuration.showsCursor) {
            changed.add(grabber_->locateCursor());
        }
        // Only those rows are fetched again: the rest of the image holds the screen as it was
        // and as it still is (the pointer drawn last time lies in rows fetched again).
        if (!grabbedOnce_) {
            changed = RowBands::all(s_.display.height);
            grabbedOnce_ = true;
        }
        if (composing()) {
            compositor_->render();
            if (!grabber_->grabFrom(compositor_->buffer(), changed)) {
                return false;
            }
        } else if (!grabber_->grab(changed)) {
            return false;
        }
        cursorRows_ = s_.configuration.showsCursor ? grabber_->drawCursor() : RowBands();
        VideoFrame frame = converter_->convert(grabber_->pixels(), grabber_->stride(), changed);
        auto micros = static_cast<int64_t>(std::llround(now * kTimescale));
        s_.queue->post([handler = s_.onFrame, frame = std::move(frame), micros]() mutable {
            handler(std::move(frame), MediaTime::make(micros, kTimescale));
        });
        schedule_.taken(now);
        if (excluding_) {
            auto done = std::move(excluding_);
            excluding_ = nullptr;
            done(true);
        }
        return true;
    }

    X11CaptureStream::Shared& s_;
    CaptureSchedule schedule_;
    DisplayHandle display_;
    std::unique_ptr<X11ErrorTrap> trap_;
    std::unique_ptr<X11ScreenGrabber> grabber_;
    std::unique_ptr<FrameConverter> converter_;
    std::unique_ptr<X11WindowCompositor> compositor_;  // null without Composite
    // Waits for the first picture without the windows the compositor now leaves out.
    std::function<void(bool)> excluding_;
    Damage damage_ = 0;
    int damageEvent_ = 0;
    int fixesEvent_ = 0;
    int xiOpcode_ = -1;
    bool pointerMoved_ = false;
    // Rows of the rectangle drawn on since the last picture (while grabbing as it is).
    RowBands damagedRows_;
    // Rows the pointer was drawn over in the last picture.
    RowBands cursorRows_;
    bool grabbedOnce_ = false;
};

void runCapture(const std::shared_ptr<X11CaptureStream::Shared>& shared,
                CaptureStream::Done startDone) {
    std::optional<std::string> ended;
    {
        CaptureLoop loop(*shared);
        try {
            loop.open();
        } catch (const CaldrovexError& error) {
            shared->finish();
            startDone(error);
            return;
        }
        startDone(std::nullopt);
        ended = loop.run();
    }
    // Reported after the connection is closed, and only when nobody asked for the end.
    if (ended && !shared->stopping() && shared->onStop) {
        shared->onStop(*ended);
    }
    shared->finish();
}

}  // namespace

X11CaptureStream::X11CaptureStream(std::optional<std::string> displayName, CaptureDisplay display,
                                   CaptureConfiguration configuration, QueuePtr captureQueue,
                                   ClockPtr clock, CaptureService::FrameHandler onFrame,
                                   CaptureService::StopHandler onStop)
    : shared_(std::make_shared<Shared>()) {
    shared_->displayName = std::move(displayName);
    shared_->display = std::move(display);
    shared_->configuration = configuration;
    shared_->queue = std::move(captureQueue);
    shared_->clock = std::move(clock);
    shared_->onFrame = std::move(onFrame);
    shared_->onStop = std::move(onStop);
    shared_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

X11CaptureStream::~X11CaptureStream() {
    {
        std::lock_guard guard(shared_->mutex);
        shared_->stopRequested = true;
    }
    shared_->wake();
    // Not joined: the last owner may be dropped on a queue (or on the capture thread itself)
    // while the thread is stuck in a call to a server that stopped answering, and nothing may
    // wait for that. The thread holds only the shared state and ends on its own.
    std::lock_guard guard(threadMutex_);
    if (thread_.joinable()) {
        thread_.detach();
    }
}

void X11CaptureStream::startCapture(Done done) {
    if (shared_->wakeFd < 0) {
        return done(CaldrovexError(kCannotOpen));
    }
    {
        std::lock_guard guard(shared_->mutex);
        if (shared_->started || shared_->stopRequested) {
            // A stream runs once; a stopped one stays stopped.
            return done(std::nullopt);
        }
        shared_->started = true;
    }
    std::lock_guard guard(threadMutex_);
    thread_ = std::thread(runCapture, shared_, std::move(done));
}

void X11CaptureStream::stopCapture(Done done) {
    {
        std::lock_guard guard(shared_->mutex);
        shared_->stopRequested = true;
        if (shared_->started && !shared_->finished) {
            shared_->stopDone = std::move(done);
            done = nullptr;
        }
    }
    if (done) {
        shared_->queue->post([done] { done(std::nullopt); });
        return;
    }
    shared_->wake();
}

void X11CaptureStream::exclude(const std::set<uint32_t>& windowIDs,
                               std::function<void(bool)> done) {
    // Refused: asked of a stream that does not run, or replaced by this newer request.
    std::function<void(bool)> refused;
    {
        std::lock_guard guard(shared_->mutex);
        if (!shared_->started || shared_->stopRequested || shared_->finished) {
            refused = std::move(done);
        } else {
            if (shared_->exclusionAsked) {
                refused = std::move(shared_->exclusionAsked->done);
            }
            shared_->exclusionAsked = Shared::Exclusion{windowIDs, std::move(done)};
        }
    }
    if (refused) {
        refused(false);
    }
    shared_->wake();
}

}  // namespace caldrovex::platform
