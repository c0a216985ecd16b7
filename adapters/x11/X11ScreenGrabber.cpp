#include "adapters/x11/X11ScreenGrabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <vector>

#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

namespace {

constexpr const char* kNoSharedMemory =
    "The X display does not share memory with this host, so it cannot be captured.";
constexpr const char* kUnsupportedFormat = "The X display's pixel format cannot be captured.";

// Rows between two changed bands up to which the bands are fetched in one request: a round
// trip costs more than copying that many rows.
constexpr int kJoinGap = 64;

using CursorImage = X11Ptr<XFixesCursorImage>;

bool isBgrx(const XImage& image) {
    return image.bits_per_pixel == 32 && image.byte_order == LSBFirst &&
           image.red_mask == 0xff0000 && image.green_mask == 0xff00 && image.blue_mask == 0xff;
}

// The cursor's pixels are premultiplied ARGB, one per `unsigned long`.
void blend(uint8_t* pixel, unsigned long argb) {
    auto alpha = static_cast<unsigned>((argb >> 24) & 0xff);
    if (alpha == 0) {
        return;
    }
    const unsigned source[3] = {static_cast<unsigned>(argb & 0xff),
                                static_cast<unsigned>((argb >> 8) & 0xff),
                                static_cast<unsigned>((argb >> 16) & 0xff)};
    for (int k = 0; k < 3; ++k) {
        unsigned value = source[k] + (pixel[k] * (255 - alpha) + 127) / 255;
        pixel[k] = static_cast<uint8_t>(std::min(value, 255u));
    }
}

}  // namespace

X11ScreenGrabber::X11ScreenGrabber(Display* display, int x, int y, int width, int height)
    : display_(display), x_(x), y_(y), width_(width), height_(height) {
    if (!XShmQueryExtension(display_)) {
        throw CaldrovexError(kNoSharedMemory);
    }
    int screen = DefaultScreen(display_);
    image_.reset(XShmCreateImage(display_, DefaultVisual(display_, screen),
                                 DefaultDepth(display_, screen), ZPixmap, nullptr, &segment_,
                                 width_, height_));
    if (!image_) {
        throw CaldrovexError(kNoSharedMemory);
    }
    if (!isBgrx(*image_)) {
        throw CaldrovexError(kUnsupportedFormat);
    }
    segment_.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image_->bytes_per_line) * height_,
                            IPC_CREAT | 0600);
    if (segment_.shmid < 0) {
        throw CaldrovexError(kNoSharedMemory);
    }
    segment_.shmaddr = static_cast<char*>(shmat(segment_.shmid, nullptr, 0));
    // Marked for removal at once: it disappears with the last process that detaches, even
    // if this one dies.
    shmctl(segment_.shmid, IPC_RMID, nullptr);
    if (segment_.shmaddr == reinterpret_cast<char*>(-1)) {
        segment_.shmaddr = nullptr;
        throw CaldrovexError(kNoSharedMemory);
    }
    image_->data = segment_.shmaddr;
    segment_.readOnly = False;
    attached_ = XShmAttach(display_, &segment_) != 0;
    XSync(display_, False);
    if (!attached_) {
        shmdt(segment_.shmaddr);
        throw CaldrovexError(kNoSharedMemory);
    }
}

X11ScreenGrabber::~X11ScreenGrabber() {
    if (attached_) {
        XShmDetach(display_, &segment_);
        XSync(display_, False);
    }
    if (image_) {
        // The pixels belong to the segment, not to Xlib.
        image_->data = nullptr;
    }
    if (segment_.shmaddr != nullptr) {
        shmdt(segment_.shmaddr);
    }
}

bool X11ScreenGrabber::grab() {
    return grab(RowBands::all(height_));
}

bool X11ScreenGrabber::grab(const RowBands& rows) {
    return copy(DefaultRootWindow(display_), x_, y_, rows);
}

bool X11ScreenGrabber::grabFrom(Drawable source) {
    return grabFrom(source, RowBands::all(height_));
}

bool X11ScreenGrabber::grabFrom(Drawable source, const RowBands& rows) {
    return copy(source, 0, 0, rows);
}

bool X11ScreenGrabber::copy(Drawable source, int x, int y, const RowBands& rows) {
    // Each request is a round trip; rows a little apart are cheaper fetched in one.
    std::vector<RowBands::Band> fetched;
    for (const RowBands::Band& band : rows.bands()) {
        if (!fetched.empty() && band.begin - fetched.back().end < kJoinGap) {
            fetched.back().end = band.end;
        } else {
            fetched.push_back(band);
        }
    }
    for (const RowBands::Band& band : fetched) {
        // A view of the rows of the segment: Xlib tells the server where in the segment to
        // write by the image's data pointer.
        XImage rowsImage = *image_;
        rowsImage.data = image_->data + static_cast<ptrdiff_t>(band.begin) * image_->bytes_per_line;
        rowsImage.height = band.end - band.begin;
        if (XShmGetImage(display_, source, &rowsImage, x, y + band.begin, AllPlanes) == 0) {
            return false;
        }
    }
    return true;
}

RowBands X11ScreenGrabber::locateCursor() {
    cursor_.reset(XFixesGetCursorImage(display_));
    return cursorRows();
}

RowBands X11ScreenGrabber::cursorRows() const {
    RowBands rows;
    if (!cursor_) {
        return rows;
    }
    int left = cursor_->x - cursor_->xhot - x_;
    int top = cursor_->y - cursor_->yhot - y_;
    if (left < width_ && left + cursor_->width > 0) {
        rows.add(std::max(top, 0), std::min(top + cursor_->height, height_));
    }
    return rows;
}

RowBands X11ScreenGrabber::drawCursor() {
    if (!cursor_) {
        locateCursor();
    }
    RowBands drawn = cursorRows();
    if (drawn.empty()) {
        cursor_.reset();
        return drawn;
    }
    int left = cursor_->x - cursor_->xhot - x_;
    int top = cursor_->y - cursor_->yhot - y_;
    int firstColumn = std::max(0, -left);
    int endColumn = std::min<int>(cursor_->width, width_ - left);
    for (const RowBands::Band& band : drawn.bands()) {
        for (int row = band.begin; row < band.end; ++row) {
            auto* line = reinterpret_cast<uint8_t*>(image_->data) +
                         static_cast<ptrdiff_t>(row) * image_->bytes_per_line;
            for (int col = firstColumn; col < endColumn; ++col) {
                blend(line + static_cast<ptrdiff_t>(left + col) * 4,
                      cursor_->pixels[(row - top) * cursor_->width + col]);
            }
        }
    }
    cursor_.reset();
    return drawn;
}

bool X11ScreenGrabber::cursorInside() {
    CursorImage cursor(XFixesGetCursorImage(display_));
    if (!cursor) {
        return false;
    }
    int left = cursor->x - cursor->xhot - x_;
    int top = cursor->y - cursor->yhot - y_;
    return left < width_ && top < height_ && left + cursor->width > 0 && top + cursor->height > 0;
}

const uint8_t* X11ScreenGrabber::pixels() const {
    return reinterpret_cast<const uint8_t*>(image_->data);
}

int X11ScreenGrabber::stride() const {
    return image_->bytes_per_line;
}

}  // namespace caldrovex::platform
