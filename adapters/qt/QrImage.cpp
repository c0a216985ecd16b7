#include "adapters/qt/QrImage.h"

#include <qrencode.h>
#include <memory>

namespace caldrovex::platform {

namespace {

struct QrFree {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

QImage QrImage::make(const std::string& text) {
    std::unique_ptr<QRcode, QrFree> code(
        QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1));
    if (!code) return {};
    const int width = code->width;
    QImage image(width * kScale, width * kScale, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const unsigned char* row = code->data + (y / kScale) * width;
        for (int x = 0; x < image.width(); ++x) {
            // Bit 0 marks a dark module.
            line[x] = (row[x / kScale] & 1) ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
        }
    }
    return image;
}

}  // namespace caldrovex::platform
