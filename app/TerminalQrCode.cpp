#include "app/TerminalQrCode.h"

#include <qrencode.h>
#include <memory>

namespace caldrovex {

namespace {

struct QrFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

constexpr const char* kBoth = "\u2588";   // full block
constexpr const char* kUpper = "\u2580";  // upper half block
constexpr const char* kLower = "\u2584";  // lower half block

}  // namespace

std::optional<std::vector<std::string>> TerminalQrCode::render(const std::string& text) {
    std::unique_ptr<QRcode, QrFree> code(
        QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
    if (!code) return std::nullopt;
    const int width = code->width;
    const int size = width + 2 * kQuietZone;
    // Outside the symbol everything is light; inside, bit 0 of each byte marks a dark module.
    auto light = [&](int row, int column) {
        const int r = row - kQuietZone, c = column - kQuietZone;
        if (r < 0 || c < 0 || r >= width || c >= width) return true;
        return (code->data[r * width + c] & 1) == 0;
    };
    std::vector<std::string> lines;
    for (int row = 0; row < size; row += 2) {
        std::string line;
        for (int column = 0; column < size; ++column) {
            const bool upper = light(row, column);
            // An odd size leaves the last text row half empty: its lower half is blank.
            const bool lower = row + 1 < size && light(row + 1, column);
            line += upper && lower ? kBoth : upper ? kUpper : lower ? kLower : " ";
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace caldrovex
