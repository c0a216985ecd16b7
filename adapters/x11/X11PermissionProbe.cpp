#include "adapters/x11/X11PermissionProbe.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>

#include <memory>

#include "adapters/x11/X11ErrorTrap.h"
#include "adapters/x11/X11Handles.h"

namespace caldrovex::platform {

namespace {

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
        // The server refuses the attach with a protocol error; the trap records it for this
        // connection only, leaving the process-wide handler in place for every other one.
        X11ErrorTrap trap(display);
        if (XShmAttach(display, &segment)) {
            attached = trap.check() == 0;
            if (attached) XShmDetach(display, &segment);
            trap.check();
        }
    }
    shmdt(segment.shmaddr);
    shmctl(segment.shmid, IPC_RMID, nullptr);
    return attached;
}

}  // namespace

X11PermissionProbe::X11PermissionProbe(DisplaySession session) : session_(std::move(session)) {}

bool X11PermissionProbe::screenRecording() {
    if (session_.problem()) return false;
    auto display = openDisplay(session_.display);
    return display && sharedMemoryAttaches(display.get());
}

bool X11PermissionProbe::accessibility() {
    if (session_.problem()) return false;
    auto display = openDisplay(session_.display);
    if (!display) return false;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor) == True;
}

std::optional<std::string> X11PermissionProbe::screenRecordingProblem() {
    if (auto problem = session_.problem()) return problem;
    if (!openDisplay(session_.display))
        return DisplaySession::unreachableMessage(*session_.display);
    return std::nullopt;
}

}  // namespace caldrovex::platform
