#pragma once

#include <optional>
#include <string>
#include <vector>

namespace caldrovex {

// A QR code as lines of text for a terminal (the pairing link of `caldrovex-host pair`),
// within a given width (80 columns, a common terminal's).
//
// Light modules are the ones drawn, dark ones are left blank: block characters take the
// terminal's foreground colour, which on the usual dark background is light, so the symbol
// reads the right way round there, quiet zone included.
//
// A terminal cell is about twice as tall as it is wide, so the half blocks "▀", "▄", "█"
// (two module rows per text row) draw square modules; that is tried first, at
// error-correction level M, then L (a screen does not smudge, so L's smaller symbol is
// enough). A link that carries the relay road is too long for either in 80 columns: it is
// drawn with quadrant blocks ("▘", "▚", …), two modules per column as well, which makes the
// modules twice as tall as wide. Phone scanners correct that stretch like any perspective.
// Pure; callable from any thread.
class TerminalQrCode {
public:
    // Light modules around the symbol. The standard asks for four; two keep the symbol within
    // a terminal's width, and scanners read it.
    static constexpr int kQuietZone = 2;
    static constexpr int kColumns = 80;

    struct Rendering {
        std::vector<std::string> rows;  // UTF-8, no line ends
        char level = 'M';               // error correction: 'M' or 'L'
        int modulesPerColumn = 1;       // 1 (half blocks) or 2 (quadrant blocks)
    };

    // The drawing, or nullopt when the text does not fit in a QR code that fits `columns`.
    static std::optional<Rendering> draw(const std::string& text, int columns = kColumns);
    // Just its rows.
    static std::optional<std::vector<std::string>> render(const std::string& text,
                                                          int columns = kColumns);
};

}  // namespace caldrovex
