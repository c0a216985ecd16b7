#include <gtest/gtest.h>

#include <qrencode.h>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/TerminalQrCode.h"

using caldrovex::TerminalQrCode;

namespace {

using Matrix = std::vector<std::vector<bool>>;  // true = light

// Each glyph's light quarters: upper left, upper right, lower left, lower right. A half
// block covers both quarters of its half.
const std::map<std::string, std::array<bool, 4>>& glyphs() {
    static const std::map<std::string, std::array<bool, 4>> table{
        {" ", {0, 0, 0, 0}},      {"\u2598", {1, 0, 0, 0}}, {"\u259d", {0, 1, 0, 0}},
        {"\u2580", {1, 1, 0, 0}}, {"\u2596", {0, 0, 1, 0}}, {"\u258c", {1, 0, 1, 0}},
        {"\u259e", {0, 1, 1, 0}}, {"\u259b", {1, 1, 1, 0}}, {"\u2597", {0, 0, 0, 1}},
        {"\u259a", {1, 0, 0, 1}}, {"\u2590", {0, 1, 0, 1}}, {"\u259c", {1, 1, 0, 1}},
        {"\u2584", {0, 0, 1, 1}}, {"\u2599", {1, 0, 1, 1}}, {"\u259f", {0, 1, 1, 1}},
        {"\u2588", {1, 1, 1, 1}}};
    return table;
}

// Reads the rows back into modules, as a terminal shows them.
Matrix modulesOf(const TerminalQrCode::Rendering& drawing) {
    Matrix matrix;
    for (const auto& row : drawing.rows) {
        std::vector<bool> top, bottom;
        for (size_t i = 0; i < row.size();) {
            const size_t length = row[i] == ' ' ? 1 : 3;
            auto glyph = glyphs().find(row.substr(i, length));
            EXPECT_NE(glyph, glyphs().end()) << "at byte " << i;
            if (glyph == glyphs().end()) return {};
            const auto& q = glyph->second;
            if (drawing.modulesPerColumn == 1) {
                EXPECT_TRUE(q[0] == q[1] && q[2] == q[3]) << "a quadrant in a half-block code";
                top.push_back(q[0]), bottom.push_back(q[2]);
            } else {
                top.insert(top.end(), {q[0], q[1]});
                bottom.insert(bottom.end(), {q[2], q[3]});
            }
            i += length;
        }
        matrix.push_back(top);
        matrix.push_back(bottom);
    }
    return matrix;
}

// What libqrencode makes for the same text at `level`, with the quiet zone around it; the
// drawing pads it to whole text cells, with dark (blank) modules below half blocks and light
// ones (a wider quiet zone) beside and below quadrants.
Matrix expectedModules(const std::string& text, char level, int modulesPerColumn) {
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeString(text.c_str(), 0, level == 'M' ? QR_ECLEVEL_M : QR_ECLEVEL_L, QR_MODE_8,
                            1),
        QRcode_free);
    const int zone = TerminalQrCode::kQuietZone, size = code->width + 2 * zone;
    const int rows = size + size % 2;
    const int columns = modulesPerColumn == 1 ? size : size + size % 2;
    Matrix matrix(rows, std::vector<bool>(columns, modulesPerColumn == 2));
    for (int r = 0; r < size; ++r)
        for (int c = 0; c < size; ++c) matrix[r][c] = true;
    for (int r = 0; r < code->width; ++r)
        for (int c = 0; c < code->width; ++c)
            matrix[r + zone][c + zone] = (code->data[r * code->width + c] & 1) == 0;
    return matrix;
}

size_t columnsOf(const std::string& row) {
    size_t columns = 0;
    for (unsigned char byte : row) columns += (byte & 0xc0) != 0x80;
    return columns;
}

TEST(TerminalQrCode, ShowsEveryModuleWithinEightyColumns) {
    struct Case {
        const char* note;
        std::string text;
        char level;
        int modulesPerColumn;
    };
    const Case cases[] = {
        {"short text: square modules at level M", "x", 'M', 1},
        {"a link without the relay (77 modules at M): square at L", std::string(398, 'a'), 'L', 1},
        {"a link with the relay and addresses: quadrants", std::string(640, 'a'), 'M', 2},
        {"a very long link still fits", std::string(1200, 'a'), 'M', 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        auto drawing = TerminalQrCode::draw(c.text);
        ASSERT_TRUE(drawing);
        EXPECT_EQ(drawing->level, c.level);
        EXPECT_EQ(drawing->modulesPerColumn, c.modulesPerColumn);
        for (const auto& row : drawing->rows)
            EXPECT_LE(columnsOf(row), size_t(TerminalQrCode::kColumns));
        EXPECT_EQ(drawing->rows.front().find_first_not_of("\u2588"), std::string::npos)
            << "the code begins with its light quiet zone";
        EXPECT_EQ(modulesOf(*drawing), expectedModules(c.text, c.level, c.modulesPerColumn));
    }
}

TEST(TerminalQrCode, TextBeyondTheLargestSymbolGivesNothing) {
    EXPECT_FALSE(TerminalQrCode::render(std::string(5000, 'z')));
    EXPECT_FALSE(TerminalQrCode::render(std::string(640, 'a'), 20)) << "wider than asked";
}

}  // namespace
