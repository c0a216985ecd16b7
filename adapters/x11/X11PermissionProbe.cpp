#include "adapters/x11/X11PermissionProbe.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>

#include <memory>
#include <mutex>

#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

namespace {

// Xlib reports protocol errors through one process-wide handler. While the attach below is
// checked, a handler that only records the failure replaces it; the mutex keeps two probes
// from swapping handlers under each other.
std::mutex errorTrapMutex;
bool errorTrapped = false;

int recordError(Display*, XErrorEvent*) {
    errorTrapped = true;
    return 0;
}

// Attaches a small System V segment to the server and detaches it again: the server accepts
// only when it shares this machine's memory with us.
bool sharedMemoryAttaches(Display* display) {
    if (!XShmQueryExtension(display)) return false;
    XShmSegmentInfo segment{};
    segment.shmid = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    if (segment.shmid < 0) return false;
    segment.shmaddr = static_cast<char*>(shmat(segment.shmid, nullptr, 0));
    if (segment.shmaddr == reinterpret_cast<char*>(-1)) {
        shmctl(segment.shmid, IPC_RMID, nullptr);
        return false;
    }
    segment.readOnly = False;

    bool attached = false;
    {
        std::lock_guard lock(errorTrapMutex);
        errorTrapped = false;
        auto previous = XSetErrorHandler(recordError);
        if (XShmAttach(display, &segment)) {
            XSync(display, False);
            attached = !errorTrapped;
            if (attached) XShmDetach(display, &segment);
            XSync(display, False);
        }
        XSetErrorHandler(previous);
    }
    shmdt(segment.shmaddr);
    shmctl(segment.shmid, IPC_RMID, nullptr);
    return attached;
}

}  // namespace

X11PermissionProbe::X11PermissionProbe(std::optional<std::string> display)
    : display_(std::move(display)) {}

bool X11PermissionProbe::screenRecording() {
    auto display = openDisplay(display_);
    return display && sharedMemoryAttaches(display.get());
}

bool X11PermissionProbe::accessibility() {
    auto display = openDisplay(display_);
    if (!display) return false;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor) == True;
}

}  // namespace caldrovex::platform
