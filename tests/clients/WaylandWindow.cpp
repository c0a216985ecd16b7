// caldrovex-wayland-window: a Wayland client for the GNOME Wayland tests. It covers the screen
// with one fullscreen window of a solid colour, and reports on standard output, one line each,
// what reaches it:
//   ready W H               the window is on screen at that size
//   focus                   the keyboard's focus came to the window
//   motion X Y              the pointer, in whole surface pixels
//   button CODE pressed|released
//   axis vertical|horizontal VALUE
//   key NAME pressed|released   the keysym's name, as the window's keymap turns the key
//   text UTF8               what a key press types
//   offered                 another client (or the remote session) took the clipboard, and
//                           the compositor offers its text to the window
//   paste TEXT              Control-V pasted the clipboard's text, read then, as editors do
//   clipboard TEXT          the clipboard's text, after "read" on standard input
//   copied                  after "copy TEXT" on standard input made the window the owner
//   copy refused            the compositor did not let the window take the clipboard
//   pasting off             after "stop pasting" on standard input: Control-V does nothing
//                           from then on, as in a terminal
//   filled SENT DRAWN       after "fill RRGGBB X Y W H [RRGGBB X Y W H...]" on standard
//                           input painted those rectangles as one change: CLOCK_MONOTONIC
//                           seconds just before the commit and once the compositor has
//                           handled it (a round trip later), for benchmarks
//   painted T               the compositor drew that change on its screen at T (its frame
//                           callback, CLOCK_MONOTONIC seconds)
// Usage: caldrovex-wayland-window RRGGBB [PICTURE]
// PICTURE, when given, is shown instead of the colour if it has the window's size: raw 32-bit
// pixels, blue first (ImageMagick's `convert IN.png -depth 8 bgra:PICTURE`), rows top down.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "xdg-shell-client-protocol.h"

namespace {

constexpr const char* kTextType = "text/plain;charset=utf-8";

struct Window {
    uint32_t colour = 0xff000000;
    // What the window shows, kept to draw the next buffer from; the picture given, if any.
    std::vector<uint32_t> canvas;
    std::vector<uint32_t> picture;
    wl_display* display = nullptr;
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* shell = nullptr;
    wl_seat* seat = nullptr;
    wl_data_device_manager* dataManager = nullptr;
    wl_data_device* dataDevice = nullptr;
    wl_surface* surface = nullptr;
    xdg_surface* shellSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wl_pointer* pointer = nullptr;
    wl_keyboard* keyboard = nullptr;
    xkb_context* xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap* keymap = nullptr;
    xkb_state* keyState = nullptr;
    int width = 0;
    int height = 0;
    bool shown = false;
    uint32_t lastSerial = 0;
    std::set<std::string> offerTypes;
    wl_data_offer* offer = nullptr;  // the clipboard's text on offer
    wl_data_source* source = nullptr;
    std::string copied;
    bool pastes = true;
};

void say(const std::string& line) {
    std::cout << line << std::endl;
}

// ---- Drawing ----

// The compositor is done with a buffer once it released it; each is drawn once.
void bufferRelease(void*, wl_buffer* buffer) {
    wl_buffer_destroy(buffer);
}
const wl_buffer_listener kBufferListener = {bufferRelease};

// A buffer holding the canvas.
wl_buffer* canvasBuffer(Window& w) {
    const int stride = w.width * 4;
    const size_t size = static_cast<size_t>(stride) * w.height;
    int fd = memfd_create("caldrovex-wayland-window", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) < 0) std::exit(1);
    auto* pixels = static_cast<uint32_t*>(mmap(nullptr, size, PROT_WRITE, MAP_SHARED, fd, 0));
    std::memcpy(pixels, w.canvas.data(), size);
    munmap(pixels, size);
    wl_shm_pool* pool = wl_shm_create_pool(w.shm, fd, static_cast<int32_t>(size));
    wl_buffer* buffer =
        wl_shm_pool_create_buffer(pool, 0, w.width, w.height, stride, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_buffer_add_listener(buffer, &kBufferListener, &w);
    return buffer;
}

// The canvas at the window's size: the picture when it has that size, else the colour.
void resetCanvas(Window& w) {
    const size_t pixels = static_cast<size_t>(w.width) * w.height;
    if (w.canvas.size() == pixels) return;
    w.canvas = w.picture.size() == pixels ? w.picture : std::vector<uint32_t>(pixels, w.colour);
}

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One rectangle of one colour ("RRGGBB X Y W H").
struct Fill {
    uint32_t rgb = 0;
    int x = 0, y = 0, width = 0, height = 0;
};

void paintedDone(void*, wl_callback* callback, uint32_t) {
    wl_callback_destroy(callback);
    char line[64];
    std::snprintf(line, sizeof line, "painted %.6f", monotonicSeconds());
    say(line);
}
const wl_callback_listener kPaintedListener = {paintedDone};

// Paints the rectangles (clipped to the window) as one change and reports when it reached the
// compositor, and later when the compositor drew it.
void fill(Window& w, const std::vector<Fill>& fills) {
    if (w.canvas.empty() || fills.empty()) return;
    for (const Fill& f : fills) {
        const int left = std::max(f.x, 0), top = std::max(f.y, 0);
        const int right = std::min(f.x + f.width, w.width);
        const int bottom = std::min(f.y + f.height, w.height);
        if (right <= left || bottom <= top) continue;
        for (int row = top; row < bottom; ++row)
            std::fill_n(w.canvas.begin() + static_cast<ptrdiff_t>(row) * w.width + left,
                        right - left, 0xff000000 | f.rgb);
        wl_surface_damage(w.surface, left, top, right - left, bottom - top);
    }
    wl_surface_attach(w.surface, canvasBuffer(w), 0, 0);
    wl_callback_add_listener(wl_surface_frame(w.surface), &kPaintedListener, &w);
    const double sent = monotonicSeconds();
    wl_surface_commit(w.surface);
    wl_display_roundtrip(w.display);
    const double drawn = monotonicSeconds();
    char line[96];
    std::snprintf(line, sizeof line, "filled %.6f %.6f", sent, drawn);
    say(line);
}

void frameDone(void* data, wl_callback* callback, uint32_t) {
    auto& w = *static_cast<Window*>(data);
    wl_callback_destroy(callback);
    if (!w.shown) {
        w.shown = true;
        say("ready " + std::to_string(w.width) + " " + std::to_string(w.height));
    }
}
const wl_callback_listener kFrameListener = {frameDone};

void shellSurfaceConfigure(void* data, xdg_surface* surface, uint32_t serial) {
    auto& w = *static_cast<Window*>(data);
    xdg_surface_ack_configure(surface, serial);
    if (w.width == 0 || w.height == 0) return;
    resetCanvas(w);
    wl_surface_attach(w.surface, canvasBuffer(w), 0, 0);
    wl_surface_damage(w.surface, 0, 0, w.width, w.height);
    wl_callback_add_listener(wl_surface_frame(w.surface), &kFrameListener, &w);
    wl_surface_commit(w.surface);
}
const xdg_surface_listener kShellSurfaceListener = {shellSurfaceConfigure};

void toplevelConfigure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
    auto& w = *static_cast<Window*>(data);
    if (width > 0 && height > 0) {
        w.width = width;
        w.height = height;
    } else if (w.width == 0) {
        w.width = 640;
        w.height = 480;
    }
}
void toplevelClose(void*, xdg_toplevel*) {
    std::exit(0);
}
const xdg_toplevel_listener kToplevelListener = {toplevelConfigure, toplevelClose, nullptr,
                                                 nullptr};

void ping(void*, xdg_wm_base* shell, uint32_t serial) {
    xdg_wm_base_pong(shell, serial);
}
const xdg_wm_base_listener kShellListener = {ping};

// ---- Pointer ----

void pointerEnter(void* data, wl_pointer*, uint32_t serial, wl_surface*, wl_fixed_t x,
                  wl_fixed_t y) {
    static_cast<Window*>(data)->lastSerial = serial;
    say("motion " + std::to_string(wl_fixed_to_int(x)) + " " + std::to_string(wl_fixed_to_int(y)));
}
void pointerLeave(void*, wl_pointer*, uint32_t, wl_surface*) {}
void pointerMotion(void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    say("motion " + std::to_string(wl_fixed_to_int(x)) + " " + std::to_string(wl_fixed_to_int(y)));
}
void pointerButton(void* data, wl_pointer*, uint32_t serial, uint32_t, uint32_t button,
                   uint32_t state) {
    static_cast<Window*>(data)->lastSerial = serial;
    say("button " + std::to_string(button) +
        (state == WL_POINTER_BUTTON_STATE_PRESSED ? " pressed" : " released"));
}
void pointerAxis(void*, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
    say(std::string("axis ") +
        (axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? "vertical " : "horizontal ") +
        std::to_string(wl_fixed_to_double(value)));
}
void pointerFrame(void*, wl_pointer*) {}
void pointerAxisSource(void*, wl_pointer*, uint32_t) {}
void pointerAxisStop(void*, wl_pointer*, uint32_t, uint32_t) {}
void pointerAxisDiscrete(void*, wl_pointer*, uint32_t, int32_t) {}
void pointerAxisValue120(void*, wl_pointer*, uint32_t, int32_t) {}
const wl_pointer_listener kPointerListener = {
    pointerEnter, pointerLeave,      pointerMotion,   pointerButton,       pointerAxis,
    pointerFrame, pointerAxisSource, pointerAxisStop, pointerAxisDiscrete, pointerAxisValue120};

// ---- Keyboard ----

std::string clipboardText(Window& w);

void keymap(void* data, wl_keyboard*, uint32_t format, int32_t fd, uint32_t size) {
    auto& w = *static_cast<Window*>(data);
    if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
        close(fd);
        return;
    }
    auto* text = static_cast<char*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
    close(fd);
    if (text == MAP_FAILED) return;
    if (w.keyState) xkb_state_unref(w.keyState);
    if (w.keymap) xkb_keymap_unref(w.keymap);
    w.keymap = xkb_keymap_new_from_string(w.xkb, text, XKB_KEYMAP_FORMAT_TEXT_V1,
                                          XKB_KEYMAP_COMPILE_NO_FLAGS);
    munmap(text, size);
    w.keyState = w.keymap ? xkb_state_new(w.keymap) : nullptr;
}
void keyboardEnter(void* data, wl_keyboard*, uint32_t serial, wl_surface*, wl_array*) {
    static_cast<Window*>(data)->lastSerial = serial;
    say("focus");
}
void keyboardLeave(void*, wl_keyboard*, uint32_t, wl_surface*) {}
void key(void* data, wl_keyboard*, uint32_t serial, uint32_t, uint32_t key, uint32_t state) {
    auto& w = *static_cast<Window*>(data);
    w.lastSerial = serial;
    if (!w.keyState) return;
    const xkb_keycode_t code = key + 8;  // evdev to XKB
    char name[64] = "";
    xkb_keysym_get_name(xkb_state_key_get_one_sym(w.keyState, code), name, sizeof name);
    const bool pressed = state == WL_KEYBOARD_KEY_STATE_PRESSED;
    say(std::string("key ") + name + (pressed ? " pressed" : " released"));
    if (!pressed) return;
    if (std::strcmp(name, "v") == 0 && w.pastes &&
        xkb_state_mod_name_is_active(w.keyState, XKB_MOD_NAME_CTRL, XKB_STATE_MODS_EFFECTIVE) > 0) {
        say("paste " + clipboardText(w));
        return;
    }
    char utf8[64] = "";
    if (xkb_state_key_get_utf8(w.keyState, code, utf8, sizeof utf8) > 0 &&
        static_cast<unsigned char>(utf8[0]) >= 0x20)
        say(std::string("text ") + utf8);
}
void modifiers(void* data, wl_keyboard*, uint32_t, uint32_t depressed, uint32_t latched,
               uint32_t locked, uint32_t group) {
    auto& w = *static_cast<Window*>(data);
    if (w.keyState) xkb_state_update_mask(w.keyState, depressed, latched, locked, 0, 0, group);
}
void repeatInfo(void*, wl_keyboard*, int32_t, int32_t) {}
const wl_keyboard_listener kKeyboardListener = {keymap, keyboardEnter, keyboardLeave,
                                                key,    modifiers,     repeatInfo};

void seatCapabilities(void* data, wl_seat* seat, uint32_t capabilities) {
    auto& w = *static_cast<Window*>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_POINTER) && !w.pointer) {
        w.pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(w.pointer, &kPointerListener, &w);
    }
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !w.keyboard) {
        w.keyboard = wl_seat_get_keyboard(seat);
        wl_keyboard_add_listener(w.keyboard, &kKeyboardListener, &w);
    }
}
void seatName(void*, wl_seat*, const char*) {}
const wl_seat_listener kSeatListener = {seatCapabilities, seatName};

// ---- Clipboard ----

void offerType(void* data, wl_data_offer*, const char* type) {
    static_cast<Window*>(data)->offerTypes.insert(type);
}
void offerSourceActions(void*, wl_data_offer*, uint32_t) {}
void offerAction(void*, wl_data_offer*, uint32_t) {}
const wl_data_offer_listener kOfferListener = {offerType, offerSourceActions, offerAction};

void dataOffer(void* data, wl_data_device*, wl_data_offer* offer) {
    auto& w = *static_cast<Window*>(data);
    w.offerTypes.clear();
    wl_data_offer_add_listener(offer, &kOfferListener, &w);
}
void dataEnter(void*, wl_data_device*, uint32_t, wl_surface*, wl_fixed_t, wl_fixed_t,
               wl_data_offer*) {}
void dataLeave(void*, wl_data_device*) {}
void dataMotion(void*, wl_data_device*, uint32_t, wl_fixed_t, wl_fixed_t) {}
void dataDrop(void*, wl_data_device*) {}

// Keeps the offer of the clipboard's text, read only when the window pastes.
void selection(void* data, wl_data_device*, wl_data_offer* offer) {
    auto& w = *static_cast<Window*>(data);
    if (w.offer) wl_data_offer_destroy(w.offer);
    w.offer = nullptr;
    if (!offer) return;
    if (w.source || !w.offerTypes.contains(kTextType)) {
        wl_data_offer_destroy(offer);
        return;
    }
    w.offer = offer;
    say("offered");
}

// The clipboard's text, waiting at most three seconds for its owner to write it.
std::string clipboardText(Window& w) {
    if (w.source) return w.copied;
    if (!w.offer) return "";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0) return "";
    wl_data_offer_receive(w.offer, kTextType, fds[1]);
    close(fds[1]);
    wl_display_flush(w.display);
    std::string text;
    char buffer[4096];
    pollfd entry{fds[0], POLLIN, 0};
    while (poll(&entry, 1, 3000) > 0) {
        ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    return text;
}
const wl_data_device_listener kDataDeviceListener = {dataOffer,  dataEnter, dataLeave,
                                                     dataMotion, dataDrop,  selection};

void sourceTarget(void*, wl_data_source*, const char*) {}
void sourceSend(void* data, wl_data_source*, const char*, int32_t fd) {
    const std::string& text = static_cast<Window*>(data)->copied;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) break;
        if (n > 0) done += static_cast<size_t>(n);
    }
    close(fd);
}
void sourceCancelled(void* data, wl_data_source* source) {
    auto& w = *static_cast<Window*>(data);
    if (w.source == source) w.source = nullptr;
    wl_data_source_destroy(source);
}
const wl_data_source_listener kSourceListener = {sourceTarget, sourceSend, sourceCancelled,
                                                 nullptr,      nullptr,    nullptr};

void copy(Window& w, const std::string& text) {
    w.copied = text;
    wl_data_source* source = wl_data_device_manager_create_data_source(w.dataManager);
    wl_data_source_add_listener(source, &kSourceListener, &w);
    wl_data_source_offer(source, kTextType);
    wl_data_source_offer(source, "text/plain");
    wl_data_device_set_selection(w.dataDevice, source, w.lastSerial);
    w.source = source;
    // The compositor refuses (cancels) a selection from a client without the keyboard's focus.
    wl_display_roundtrip(w.display);
    say(w.source == source ? "copied" : "copy refused");
}

// ---- Set-up ----

void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    auto& w = *static_cast<Window*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
        w.compositor = static_cast<wl_compositor*>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 4));
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
        w.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
        w.shell =
            static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
        xdg_wm_base_add_listener(w.shell, &kShellListener, &w);
    } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !w.seat) {
        w.seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 5));
        wl_seat_add_listener(w.seat, &kSeatListener, &w);
    } else if (std::strcmp(interface, wl_data_device_manager_interface.name) == 0) {
        w.dataManager = static_cast<wl_data_device_manager*>(
            wl_registry_bind(registry, name, &wl_data_device_manager_interface, 3));
    }
}
void globalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {global, globalRemove};

}  // namespace

int main(int argc, char** argv) {
    Window w;
    if (argc > 1) w.colour = 0xff000000 | static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 16));
    if (argc > 2) {
        std::ifstream file(argv[2], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "caldrovex-wayland-window: cannot read %s\n", argv[2]);
            return 1;
        }
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        w.picture.resize(bytes.size() / 4);
        std::memcpy(w.picture.data(), bytes.data(), w.picture.size() * 4);
    }
    w.display = wl_display_connect(nullptr);
    if (!w.display) {
        std::fprintf(stderr, "caldrovex-wayland-window: no Wayland display\n");
        return 1;
    }
    wl_registry_add_listener(wl_display_get_registry(w.display), &kRegistryListener, &w);
    wl_display_roundtrip(w.display);
    if (!w.compositor || !w.shm || !w.shell || !w.seat || !w.dataManager) {
        std::fprintf(stderr, "caldrovex-wayland-window: the compositor lacks an interface\n");
        return 1;
    }
    w.dataDevice = wl_data_device_manager_get_data_device(w.dataManager, w.seat);
    wl_data_device_add_listener(w.dataDevice, &kDataDeviceListener, &w);
    w.surface = wl_compositor_create_surface(w.compositor);
    w.shellSurface = xdg_wm_base_get_xdg_surface(w.shell, w.surface);
    xdg_surface_add_listener(w.shellSurface, &kShellSurfaceListener, &w);
    w.toplevel = xdg_surface_get_toplevel(w.shellSurface);
    xdg_toplevel_add_listener(w.toplevel, &kToplevelListener, &w);
    xdg_toplevel_set_title(w.toplevel, "caldrovex-wayland-window");
    xdg_toplevel_set_fullscreen(w.toplevel, nullptr);
    wl_surface_commit(w.surface);

    std::string line;
    pollfd fds[2] = {{wl_display_get_fd(w.display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        while (wl_display_prepare_read(w.display) != 0) wl_display_dispatch_pending(w.display);
        wl_display_flush(w.display);
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            if (wl_display_read_events(w.display) < 0) break;
        } else {
            wl_display_cancel_read(w.display);
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) break;
        wl_display_dispatch_pending(w.display);
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            if (!std::getline(std::cin, line)) {
                fds[1].fd = -1;  // input closed: keep showing the window
            } else if (line.rfind("copy ", 0) == 0) {
                copy(w, line.substr(5));
            } else if (line == "stop pasting") {
                w.pastes = false;
                say("pasting off");
            } else if (line == "read") {
                say("clipboard " + clipboardText(w));
            } else if (line.rfind("fill ", 0) == 0) {
                std::istringstream words(line.substr(5));
                std::vector<Fill> fills;
                std::string rgb;
                for (Fill f; words >> rgb >> f.x >> f.y >> f.width >> f.height;) {
                    f.rgb = static_cast<uint32_t>(std::strtoul(rgb.c_str(), nullptr, 16));
                    fills.push_back(f);
                }
                fill(w, fills);
            }
        }
    }
    return 0;
}
