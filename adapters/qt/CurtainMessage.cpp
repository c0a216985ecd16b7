#include "adapters/qt/CurtainMessage.h"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QPen>

namespace caldrovex::platform {

namespace {

// The stack's measures and colours.
constexpr int kSpacing = 14;
constexpr int kSymbolSize = 44;  // the symbol's font size: its glyph is about that tall
constexpr int kTitleSize = 26;
constexpr int kLineSize = 13;
constexpr int kLineWidth = 420;  // the line wraps to at most this width
const QColor kSymbolColour = QColor::fromRgbF(0.5f, 0.88f, 0.72f);
const QColor kForeground = QColor::fromRgbF(0.92f, 0.92f, 0.92f);
// Secondary text: the foreground, dimmed.
const QColor kSecondary = QColor::fromRgbF(0.92f, 0.92f, 0.92f, 0.6f);

QFont titleFont() {
    QFont font(QStringLiteral("serif"));
    font.setStyleHint(QFont::Serif);
    font.setPixelSize(kTitleSize);
    font.setWeight(QFont::Medium);
    return font;
}

QFont lineFont() {
    QFont font;
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(kLineSize);
    return font;
}

// A display: a rounded screen on a short stand, drawn with a light stroke in `box`.
void paintSymbol(QPainter& painter, const QRectF& box) {
    const qreal stroke = box.height() / 16;
    QPen pen(kSymbolColour, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    const qreal screenHeight = box.height() * 0.72;
    QRectF screen(box.left() + stroke / 2, box.top() + stroke / 2, box.width() - stroke,
                  screenHeight - stroke);
    painter.drawRoundedRect(screen, stroke * 1.6, stroke * 1.6);
    const qreal neckTop = screen.bottom() + stroke / 2;
    const qreal baseY = box.bottom() - stroke / 2;
    painter.drawLine(QPointF(box.center().x(), neckTop), QPointF(box.center().x(), baseY));
    painter.drawLine(QPointF(box.center().x() - box.width() * 0.22, baseY),
                     QPointF(box.center().x() + box.width() * 0.22, baseY));
}

}  // namespace

void CurtainMessage::paint(QPainter& painter, const QRect& area) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    const QString titleText = QString::fromUtf8(kTitle);
    const QString lineText = QString::fromUtf8(kLine);
    const QFont big = titleFont();
    const QFont small = lineFont();
    const int lineWidth = std::min(kLineWidth, std::max(1, area.width() - 2 * kSpacing));
    const QRect titleBox = QFontMetrics(big).boundingRect(titleText);
    const QRect lineBox = QFontMetrics(small).boundingRect(
        QRect(0, 0, lineWidth, area.height()), Qt::AlignHCenter | Qt::TextWordWrap, lineText);
    const QSizeF symbol(kSymbolSize * 1.3, kSymbolSize);
    const int height = static_cast<int>(symbol.height()) + kSpacing + titleBox.height() + kSpacing +
                       lineBox.height();

    int top = area.top() + (area.height() - height) / 2;
    const qreal centre = area.left() + area.width() / 2.0;
    paintSymbol(painter, QRectF(QPointF(centre - symbol.width() / 2, top), symbol));
    top += static_cast<int>(symbol.height()) + kSpacing;

    painter.setFont(big);
    painter.setPen(kForeground);
    painter.drawText(QRect(area.left(), top, area.width(), titleBox.height()), Qt::AlignHCenter,
                     titleText);
    top += titleBox.height() + kSpacing;

    painter.setFont(small);
    painter.setPen(kSecondary);
    painter.drawText(
        QRect(static_cast<int>(centre - lineWidth / 2.0), top, lineWidth, lineBox.height()),
        Qt::AlignHCenter | Qt::TextWordWrap, lineText);
    painter.restore();
}

}  // namespace caldrovex::platform
