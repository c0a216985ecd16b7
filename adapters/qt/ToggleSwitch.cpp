#include "adapters/qt/ToggleSwitch.h"

#include <QPainter>
#include <QPainterPath>

namespace caldrovex::platform {

namespace {

constexpr int kWidth = 36;
constexpr int kHeight = 20;
constexpr int kKnobInset = 2;

}  // namespace

ToggleSwitch::ToggleSwitch(QColor accent, QWidget* parent)
    : QAbstractButton(parent), accent_(accent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize ToggleSwitch::sizeHint() const {
    return {kWidth, kHeight};
}

void ToggleSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0.5, 0.5, kWidth - 1, kHeight - 1);
    QColor fill = isChecked() ? accent_ : QColor(0x5a, 0x5a, 0x5e);
    if (!isEnabled()) fill.setAlphaF(0.4);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    if (hasFocus()) {
        painter.setPen(QPen(accent_.lighter(130), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        painter.setPen(Qt::NoPen);
    }
    const qreal knob = kHeight - 2 * kKnobInset;
    const qreal x = isChecked() ? kWidth - kKnobInset - knob : kKnobInset;
    painter.setBrush(isEnabled() ? QColor(Qt::white) : QColor(0xb0, 0xb0, 0xb0));
    painter.drawEllipse(QRectF(x, kKnobInset, knob, knob));
}

}  // namespace caldrovex::platform
