#pragma once

#include <QImage>
#include <string>

namespace caldrovex::platform {

// The pairing link's QR code as the panel shows it: libqrencode makes the symbol of the
// text's UTF-8 bytes at error-correction level M, and each module becomes a 6 × 6 block of
// pixels, black on white, without smoothing and without a quiet zone (the panel's white
// card around it is the quiet zone). Pure; any thread.
class QrImage {
public:
    QrImage() = delete;

    static constexpr int kScale = 6;

    // A null image when the text does not fit in a QR code.
    static QImage make(const std::string& text);
};

}  // namespace caldrovex::platform
