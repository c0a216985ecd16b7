#pragma once

#include <filesystem>

#include "video/DecodedPicture.h"

namespace caldrovex {

// Saves a decoded picture as a PNG file with libavcodec's PNG encoder. The file is written
// next to its final name and renamed into place, so a reader never sees half a picture.
class PngWriter {
public:
    PngWriter() = delete;

    // Throws CaldrovexError when the picture cannot be encoded or the file not written.
    static void write(const DecodedPicture& picture, const std::filesystem::path& file);
};

}  // namespace caldrovex
