#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "video/RowBands.h"
#include "video/VideoFrame.h"
#include "video/VideoFramePool.h"

struct SwsContext;

namespace caldrovex {

// Turns captured screen pictures (packed 32-bit pixels, bytes B, G, R, unused: the layout of
// a 24-bit X11 screen) into NV12 frames at the stream size: scaled with a bilinear filter,
// BT.709 coefficients, video range.
//
// Converting a whole 1920×1080 picture costs about 5 ms of a core, most of a 60 fps frame's
// budget, while a typical change (typing, a button) touches a few dozen rows. So the converter
// keeps the frames it made and converts only the rows that changed: a new frame starts as a
// copy of the previous one (memcpy, a twentieth of the cost of converting) and then gets the
// changed rows converted into it. Frames are handed to the encoder and kept by the pipeline,
// so they are never written once shared: the converter writes into one of its frames only
// when nobody else holds it any more, and brings it up to date by copying from the newest
// frame just the rows that changed since it was last filled. The changed rows are mapped
// through the scale, widened by the reach of the filter, so that a frame converted in parts
// equals one converted whole.
//
// Owned and used by one thread at a time (the capture thread); the frames it returns may go
// anywhere.
class FrameConverter {
public:
    // What the last conversion did, for tests and benchmarks.
    struct Stats {
        int convertedRows = 0;  // stream rows converted from the picture
        int copiedRows = 0;     // stream rows carried over from the previous frame
    };

    // Throws std::bad_alloc when a size is not positive or memory runs out.
    FrameConverter(int sourceWidth, int sourceHeight, int width, int height);
    ~FrameConverter();

    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Converts one whole picture of the source size, rows `stride` bytes apart.
    VideoFrame convert(const uint8_t* pixels, int stride);

    // Converts a picture that differs from the one converted last only in the `changed` rows
    // (of the source picture); the first picture is converted whole whatever `changed` says.
    VideoFrame convert(const uint8_t* pixels, int stride, const RowBands& changed);

    // Writes every frame the converter will fill, so that the first pictures of a stream do
    // not pay for memory touched for the first time.
    void prefault();

    int sourceWidth() const { return sourceWidth_; }
    int sourceHeight() const { return sourceHeight_; }
    Stats stats() const { return stats_; }

private:
    struct ContextDeleter {
        void operator()(SwsContext* context) const;
    };

    // One frame the converter fills, and the conversion that last filled it (0: unknown).
    struct Slot {
        VideoFrame frame;
        uint64_t filledAt = 0;
    };

    Slot& writableSlot();
    // Stream rows in which `slot` differs from the newest frame.
    RowBands staleRows(const Slot& slot) const;
    void copyRows(const VideoFrame& from, VideoFrame& to, const RowBands& rows) const;
    void convertRows(const uint8_t* pixels, int stride, VideoFrame& to, const RowBands& rows);

    int sourceWidth_;
    int sourceHeight_;
    int width_;
    int height_;
    std::unique_ptr<SwsContext, ContextDeleter> context_;
    // Whether rows can be converted apart from the whole picture with this libswscale.
    bool partial_ = false;
    // Stream rows the filter reaches beyond a changed row.
    int margin_ = 0;
    VideoFramePool pool_;
    std::vector<Slot> slots_;
    // The slot filled last; none before the first conversion.
    int newest_ = -1;
    uint64_t conversions_ = 0;
    // The stream rows each recent conversion changed, oldest first.
    std::deque<std::pair<uint64_t, RowBands>> history_;
    Stats stats_;
};

}  // namespace caldrovex
