#include "support/PersonAtTheComputer.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstring>
#include <stdexcept>

namespace caldrovex::test {

PersonAtTheComputer::PersonAtTheComputer() : display_(platform::openDisplay()) {
    if (!display_) throw std::runtime_error("no X display: run under tests/run-with-xvfb");
    Display* d = display_.get();
    char name[] = "person";
    XIAddMasterInfo add{XIAddMaster, name, True, True};
    XIChangeHierarchy(d, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
    XSync(d, False);
    int count = 0;
    XIDeviceInfo* devices = XIQueryDevice(d, XIAllMasterDevices, &count);
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(devices[i].name, "person pointer") == 0) pointer_ = devices[i].deviceid;
    }
    XIFreeDeviceInfo(devices);
    if (pointer_ == 0) throw std::runtime_error("the master device was not added");
    XISetClientPointer(d, None, pointer_);
    XSync(d, False);
}

PersonAtTheComputer::~PersonAtTheComputer() {
    XIRemoveMasterInfo remove{XIRemoveMaster, pointer_, XIFloating, 0, 0};
    XIChangeHierarchy(display_.get(), reinterpret_cast<XIAnyHierarchyChangeInfo*>(&remove), 1);
    XSync(display_.get(), False);
}

void PersonAtTheComputer::pressKey() {
    Display* d = display_.get();
    KeyCode code = XKeysymToKeycode(d, XK_a);
    XTestFakeKeyEvent(d, code, True, CurrentTime);
    XTestFakeKeyEvent(d, code, False, CurrentTime);
    XSync(d, False);
}

void PersonAtTheComputer::movePointer(int x, int y) {
    XTestFakeMotionEvent(display_.get(), DefaultScreen(display_.get()), x, y, CurrentTime);
    XSync(display_.get(), False);
}

}  // namespace caldrovex::test
