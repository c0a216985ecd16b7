#include "adapters/qt/QrCodeView.h"

#include <QPainter>

namespace caldrovex::platform {

QrCodeView::QrCodeView(QWidget* parent) : QWidget(parent) {
    setFixedSize(kImageSize + 2 * kPadding, kImageSize + 2 * kPadding);
}

void QrCodeView::setImage(QImage image) {
    image_ = std::move(image);
    update();
}

void QrCodeView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(rect(), kCornerRadius, kCornerRadius);
    // Nearest-neighbour scaling: smoothing would blur the module edges a scanner looks for.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.drawImage(QRect(kPadding, kPadding, kImageSize, kImageSize), image_);
}

}  // namespace caldrovex::platform
