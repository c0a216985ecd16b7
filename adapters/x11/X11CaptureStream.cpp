#include "adapters/x11/X11CaptureStream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

#include <cmath>
#include <utility>

#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11Handles.h"
#include "adapters/x11/X11ScreenGrabber.h"
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

    std::mutex mutex;
    bool started = false;        // guarded by mutex
    bool stopRequested = false;  // guarded by mutex
    bool finished = false;       // guarded by mutex: the thread has ended
    Done stopDone;               // guarded by mutex

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

    // The thread is done: the stop's completion (if one waits) runs on the capture queue,
    // behind every picture posted before.
    void finish() {
        Done done;
        {
            std::lock_guard guard(mutex);
            finished = true;
            done = std::move(stopDone);
            stopDone = nullptr;
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
        if (region_ != 0) XFixesDestroyRegion(display_.get(), region_);
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
        Window root = DefaultRootWindow(d);
        damage_ = XDamageCreate(d, root, XDamageReportNonEmpty);
        region_ = XFixesCreateRegion(d, nullptr, 0);
        XFixesSelectCursorInput(d, root, XFixesDisplayCursorNotifyMask);
        selectRawMotion();
        if (trap_->check() != 0) {
            throw CaldrovexError(kDisplayGone);
        }
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

    void drainEvents() {
        Display* d = display_.get();
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type == damageEvent_ + XDamageNotify) {
                damagePending_ = true;
            } else if (event.type == fixesEvent_ + XFixesCursorNotify) {
                schedule_.changed();
            } else if (event.type == GenericEvent && event.xcookie.extension == xiOpcode_) {
                pointerMoved_ = true;
            }
        }
    }

    // Turns what the events said into "the picture changed", looking only at our rectangle.
    void noteChanges() {
        if (damagePending_ && !schedule_.hasChange()) {
            // Takes the damage out (which re-arms the report) and looks where it was. Once a
            // change is noted, the damage is left to the grab, which takes it out then.
            damagePending_ = false;
            XDamageSubtract(display_.get(), damage_, None, region_);
            if (regionTouchesArea()) {
                schedule_.changed();
            }
        }
        if (pointerMoved_) {
            pointerMoved_ = false;
            // The pointer matters where it is drawn now or was drawn last.
            if (!schedule_.hasChange() && s_.configuration.showsCursor &&
                (cursorWasInside_ || grabber_->cursorInside())) {
                schedule_.changed();
            }
        }
    }

    bool regionTouchesArea() {
        int count = 0;
        X11Ptr<XRectangle> rects(XFixesFetchRegion(display_.get(), region_, &count));
        const CaptureDisplay& area = s_.display;
        bool touches = false;
        for (int i = 0; i < count && !touches; ++i) {
            const XRectangle& r = rects.get()[i];
            touches = r.x < area.x + area.width && r.y < area.y + area.height &&
                      r.x + r.width > area.x && r.y + r.height > area.y;
        }
        return touches;
    }

    bool takePicture(double now) {
        // Damage from here on is news for the next picture.
        XDamageSubtract(display_.get(), damage_, None, None);
        damagePending_ = false;
        if (!grabber_->grab()) {
            return false;
        }
        cursorWasInside_ = s_.configuration.showsCursor && grabber_->drawCursor();
        VideoFrame frame = converter_->convert(grabber_->pixels(), grabber_->stride());
        auto micros = static_cast<int64_t>(std::llround(now * kTimescale));
        s_.queue->post([handler = s_.onFrame, frame = std::move(frame), micros]() mutable {
            handler(std::move(frame), MediaTime::make(micros, kTimescale));
        });
        schedule_.taken(now);
        return true;
    }

    X11CaptureStream::Shared& s_;
    CaptureSchedule schedule_;
    DisplayHandle display_;
    std::unique_ptr<X11ErrorTrap> trap_;
    std::unique_ptr<X11ScreenGrabber> grabber_;
    std::unique_ptr<FrameConverter> converter_;
    Damage damage_ = 0;
    XserverRegion region_ = 0;
    int damageEvent_ = 0;
    int fixesEvent_ = 0;
    int xiOpcode_ = -1;
    bool damagePending_ = false;
    bool pointerMoved_ = false;
    bool cursorWasInside_ = false;
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

void X11CaptureStream::exclude(const std::set<uint32_t>&, std::function<void(bool)> done) {
    done(false);
}

}  // namespace caldrovex::platform
