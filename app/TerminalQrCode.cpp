#include "app/TerminalQrCode.h"

#include <qrencode.h>
#include <functional>
#include <memory>

namespace caldrovex {

namespace {

struct QrFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};
using Code = std::unique_ptr<QRcode, QrFree>;

// Half blocks by (upper light, lower light).
constexpr const char* kHalves[4] = {" ", "\u2584", "\u2580", "\u2588"};
// Quadrant blocks by light quarters: 1 upper left, 2 upper right, 4 lower left, 8 lower right.
constexpr const char* kQuadrants[16] = {" ",      "\u2598", "\u259d", "\u2580", "\u2596", "\u258c",
                                        "\u259e", "\u259b", "\u2597", "\u259a", "\u2590", "\u259c",
                                        "\u2584", "\u2599", "\u259f", "\u2588"};

Code encode(const std::string& text, QRecLevel level) {
    return Code(QRcode_encodeString(text.c_str(), 0, level, QR_MODE_8, 1));
}

// Whether the module at (row, column) of the symbol with its quiet zone is light; anything
// outside the symbol is.
std::function<bool(int, int)> lightness(const QRcode& code) {
    return [&code](int row, int column) {
        const int r = row - TerminalQrCode::kQuietZone, c = column - TerminalQrCode::kQuietZone;
        if (r < 0 || c < 0 || r >= code.width || c >= code.width) return true;
        // Bit 0 marks a dark module.
        return (code.data[r * code.width + c] & 1) == 0;
    };
}

std::vector<std::string> halfBlocks(const QRcode& code) {
    const int size = code.width + 2 * TerminalQrCode::kQuietZone;
    auto light = lightness(code);
    std::vector<std::string> lines;
    for (int row = 0; row < size; row += 2) {
        std::string line;
        for (int column = 0; column < size; ++column) {
            // An odd size leaves the last text row half empty: its lower half is blank.
            const bool lower = row + 1 < size && light(row + 1, column);
            line += kHalves[(light(row, column) ? 2 : 0) | (lower ? 1 : 0)];
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::string> quadrants(const QRcode& code) {
    const int size = code.width + 2 * TerminalQrCode::kQuietZone;
    // An odd size fills its last text column and row with light modules: a wider quiet zone
    // on those two sides.
    auto at = lightness(code);
    std::vector<std::string> lines;
    for (int row = 0; row < size; row += 2) {
        std::string line;
        for (int column = 0; column < size; column += 2) {
            const int index = (at(row, column) ? 1 : 0) | (at(row, column + 1) ? 2 : 0) |
                              (at(row + 1, column) ? 4 : 0) | (at(row + 1, column + 1) ? 8 : 0);
            line += kQuadrants[index];
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

}  // namespace

std::optional<TerminalQrCode::Rendering> TerminalQrCode::draw(const std::string& text,
                                                              int columns) {
    for (auto [level, name] : {std::pair{QR_ECLEVEL_M, 'M'}, std::pair{QR_ECLEVEL_L, 'L'}}) {
        auto code = encode(text, level);
        if (!code) return std::nullopt;
        if (code->width + 2 * kQuietZone <= columns) return Rendering{halfBlocks(*code), name, 1};
    }
    auto code = encode(text, QR_ECLEVEL_M);
    if ((code->width + 2 * kQuietZone + 1) / 2 > columns) return std::nullopt;
    return Rendering{quadrants(*code), 'M', 2};
}

std::optional<std::vector<std::string>> TerminalQrCode::render(const std::string& text,
                                                               int columns) {
    auto drawing = draw(text, columns);
    if (!drawing) return std::nullopt;
    return std::move(drawing->rows);
}

}  // namespace caldrovex
