#include "adapters/x11/X11LocalInputWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <set>
#include <thread>

namespace caldrovex::platform {

namespace {

constexpr const char* kNoDisplay =
    "Input at this computer cannot be watched: the X display could not be opened.";
constexpr const char* kNoInput2 =
    "Input at this computer cannot be watched: the X display lacks the XInput2 extension.";

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// The XInput2 major opcode, or nullopt when the display has no XInput 2.
std::optional<int> input2Opcode(Display* d) {
    int opcode = 0;
    int event = 0;
    int error = 0;
    int major = 2;
    int minor = 0;
    if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error) ||
        XIQueryVersion(d, &major, &minor) != Success || major < 2) {
        return std::nullopt;
    }
    return opcode;
}

bool isXTestDevice(Display* d, int device, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    bool xtest = XIGetProperty(d, device, property, 0, 1, False, AnyPropertyType, &type, &format,
                               &items, &after, &data) == Success &&
                 type != None && format == 8 && items > 0 && data[0] != 0;
    if (data != nullptr) XFree(data);
    return xtest;
}

// The XTEST devices of the master pair that XTest requests go through on a connection with no
// client pointer of its own (the server then takes the first master pointer it lists, and its
// keyboard): where the host's injected input comes from.
std::set<int> injectionDevices(Display* d) {
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(d, XIAllDevices, &count);
    int pointer = -1;
    int keyboard = -1;
    for (int i = 0; i < count && pointer < 0; ++i) {
        if (devices[i].use == XIMasterPointer) {
            pointer = devices[i].deviceid;
            keyboard = devices[i].attachment;
        }
    }
    Atom property = XInternAtom(d, "XTEST Device", True);
    std::set<int> result;
    for (int i = 0; i < count && property != None; ++i) {
        const XIDeviceInfo& device = devices[i];
        bool slave = device.use == XISlavePointer || device.use == XISlaveKeyboard;
        bool ours = device.attachment == pointer || device.attachment == keyboard;
        if (slave && ours && isXTestDevice(d, device.deviceid, property)) {
            result.insert(device.deviceid);
        }
    }
    if (devices != nullptr) XIFreeDeviceInfo(devices);
    return result;
}

}  // namespace

// One watch, from `start` to `stop`: shared by the watcher, its thread and its reports.
struct X11LocalInputWatcher::Watch {
    DisplayPtr display;  // used by the thread once it runs
    int opcode = 0;
    std::set<int> injection;
    int wakeFd = -1;
    QueuePtr queue;
    std::function<void()> onLocalInput;  // called on the main queue only
    std::shared_ptr<std::atomic<uint64_t>> counted;
    std::shared_ptr<std::atomic<uint64_t>> injected;
    std::atomic<bool> stopping{false};
    std::atomic<bool> reportWaiting{false};

    ~Watch() {
        if (wakeFd >= 0) close(wakeFd);
    }

    static void report(const std::shared_ptr<Watch>& watch) {
        if (watch->reportWaiting.exchange(true)) return;
        watch->queue->post([weak = std::weak_ptr<Watch>(watch)] {
            auto w = weak.lock();
            if (!w) return;
            w->reportWaiting = false;
            // `stopping` is set on this queue: once `stop` returned, nothing is reported.
            if (!w->stopping) w->onLocalInput();
        });
    }

    static void take(const std::shared_ptr<Watch>& watch, XEvent& event) {
        Display* d = watch->display.get();
        XGenericEventCookie& cookie = event.xcookie;
        if (event.type != GenericEvent || cookie.extension != watch->opcode ||
            !XGetEventData(d, &cookie)) {
            return;
        }
        if (cookie.evtype == XI_RawKeyPress || cookie.evtype == XI_RawButtonPress ||
            cookie.evtype == XI_RawMotion) {
            const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
            if (watch->injection.contains(raw->sourceid)) {
                ++*watch->injected;
            } else {
                ++*watch->counted;
                report(watch);
            }
        }
        XFreeEventData(d, &cookie);
    }

    static void run(const std::shared_ptr<Watch>& watch) {
        Display* d = watch->display.get();
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {watch->wakeFd, POLLIN, 0}};
        while (!watch->stopping) {
            while (XPending(d) > 0) {
                XEvent event;
                XNextEvent(d, &event);
                take(watch, event);
            }
            poll(fds, 2, -1);
            if (fds[1].revents & POLLIN) {
                uint64_t count = 0;
                [[maybe_unused]] ssize_t got = read(watch->wakeFd, &count, sizeof count);
            }
            if (fds[0].revents & (POLLHUP | POLLERR)) break;
        }
        watch->display.reset();
    }
};

X11LocalInputWatcher::X11LocalInputWatcher(QueuePtr mainQueue,
                                           std::optional<std::string> displayName)
    : mainQueue_(std::move(mainQueue)),
      displayName_(std::move(displayName)),
      counted_(std::make_shared<std::atomic<uint64_t>>(0)),
      injected_(std::make_shared<std::atomic<uint64_t>>(0)) {
    DisplayPtr display(XOpenDisplay(displayName_ ? displayName_->c_str() : nullptr));
    if (!display) {
        unavailable_ = CaldrovexError(kNoDisplay);
    } else if (!input2Opcode(display.get())) {
        unavailable_ = CaldrovexError(kNoInput2);
    }
}

X11LocalInputWatcher::~X11LocalInputWatcher() {
    stop();
}

bool X11LocalInputWatcher::start(std::function<void()> onLocalInput) {
    if (watch_) return true;
    if (unavailable_) return false;
    DisplayPtr display(XOpenDisplay(displayName_ ? displayName_->c_str() : nullptr));
    if (!display) return false;
    Display* d = display.get();
    std::optional<int> opcode = input2Opcode(d);
    int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!opcode || wakeFd < 0) {
        if (wakeFd >= 0) close(wakeFd);
        return false;
    }
    auto watch = std::make_shared<Watch>();
    watch->opcode = *opcode;
    watch->injection = injectionDevices(d);
    watch->wakeFd = wakeFd;
    watch->queue = mainQueue_;
    watch->onLocalInput = std::move(onLocalInput);
    watch->counted = counted_;
    watch->injected = injected_;
    // Raw events of the master devices carry the slave they came from, once per event.
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_RawKeyPress);
    XISetMask(bits, XI_RawButtonPress);
    XISetMask(bits, XI_RawMotion);
    XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
    XISelectEvents(d, DefaultRootWindow(d), &mask, 1);
    // Selected before `start` returns: input from here on is seen.
    XSync(d, False);
    watch->display = std::move(display);
    std::thread(Watch::run, watch).detach();
    watch_ = std::move(watch);
    return true;
}

void X11LocalInputWatcher::stop() {
    if (!watch_) return;
    watch_->stopping = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(watch_->wakeFd, &one, sizeof one);
    watch_.reset();
}

}  // namespace caldrovex::platform
