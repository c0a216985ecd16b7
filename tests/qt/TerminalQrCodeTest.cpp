#include <gtest/gtest.h>

#include <qrencode.h>
#include <memory>
#include <string>
#include <vector>

#include "app/TerminalQrCode.h"

using caldrovex::TerminalQrCode;

namespace {

using Matrix = std::vector<std::vector<bool>>;  // true = light

// Reads the half-block rows back into light and dark modules.
Matrix modulesOf(const std::vector<std::string>& rows) {
    const std::string full = "\u2588", upper = "\u2580", lower = "\u2584";
    Matrix matrix;
    for (const auto& row : rows) {
        std::vector<bool> top, bottom;
        for (size_t i = 0; i < row.size();) {
            if (row[i] == ' ') {
                top.push_back(false), bottom.push_back(false), ++i;
                continue;
            }
            const std::string glyph = row.substr(i, 3);
            top.push_back(glyph == full || glyph == upper);
            bottom.push_back(glyph == full || glyph == lower);
            EXPECT_TRUE(glyph == full || glyph == upper || glyph == lower) << "at " << i;
            i += 3;
        }
        matrix.push_back(top);
        matrix.push_back(bottom);
    }
    return matrix;
}

// What libqrencode makes for the same text, with the quiet zone around it.
Matrix expectedModules(const std::string& text) {
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), QRcode_free);
    const int zone = TerminalQrCode::kQuietZone, size = code->width + 2 * zone;
    Matrix matrix(size, std::vector<bool>(size, true));
    for (int r = 0; r < code->width; ++r)
        for (int c = 0; c < code->width; ++c)
            matrix[r + zone][c + zone] = (code->data[r * code->width + c] & 1) == 0;
    return matrix;
}

TEST(TerminalQrCode, ShowsEveryModuleOfTheSymbolWithALightQuietZone) {
    for (const std::string& text : {std::string("orvelo://pair?data=eyJ2ZXJzaW9uIjoxfQ"),
                                    std::string(300, 'a'), std::string("x")}) {
        SCOPED_TRACE(text.size());
        auto rows = TerminalQrCode::render(text);
        ASSERT_TRUE(rows);
        Matrix shown = modulesOf(*rows);
        Matrix expected = expectedModules(text);
        // An odd number of module rows leaves the last text row's lower half blank.
        ASSERT_EQ(shown.size(), expected.size() + expected.size() % 2);
        if (expected.size() % 2) {
            EXPECT_EQ(shown.back(), std::vector<bool>(expected.size(), false));
            shown.pop_back();
        }
        EXPECT_EQ(shown, expected);
    }
}

TEST(TerminalQrCode, TextBeyondTheLargestSymbolGivesNothing) {
    EXPECT_FALSE(TerminalQrCode::render(std::string(5000, 'z')));
}

}  // namespace
