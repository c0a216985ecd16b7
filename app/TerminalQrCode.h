#pragma once

#include <optional>
#include <string>
#include <vector>

namespace caldrovex {

// A QR code as lines of text for a terminal (the headless host's pairing link). libqrencode
// makes the symbol (level M, like the panel's image); each text row shows two module rows
// with the Unicode half blocks "▀", "▄", "█" and a space.
//
// Light modules are the ones drawn, dark ones are left blank: block characters take the
// terminal's foreground colour, which on the usual dark background is light, so the symbol
// reads the right way round there, quiet zone included. Pure; callable from any thread.
class TerminalQrCode {
public:
    // Light modules around the symbol. The standard asks for four; two keep a pairing link's
    // symbol (about 77 modules) within a common terminal width, and phone scanners read it.
    static constexpr int kQuietZone = 2;

    // The lines (UTF-8, no line ends), or nullopt when the text does not fit in a QR code.
    static std::optional<std::vector<std::string>> render(const std::string& text);
};

}  // namespace caldrovex
