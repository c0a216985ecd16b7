#pragma once

#include <QImage>
#include <QWidget>

namespace caldrovex::platform {

// The invitation's QR code on a white card: the image drawn at 212 × 212 without
// interpolation (each module stays a hard-edged square on any screen), 12 of padding on
// every side, corners rounded at 14. GUI thread only.
class QrCodeView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int kImageSize = 212;
    static constexpr int kPadding = 12;
    static constexpr int kCornerRadius = 14;

    explicit QrCodeView(QWidget* parent = nullptr);

    void setImage(QImage image);
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
};

}  // namespace caldrovex::platform
