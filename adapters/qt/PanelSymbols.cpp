#include "adapters/qt/PanelSymbols.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace caldrovex::platform {

namespace {

QByteArray drawing(const QString& name) {
    QFile file(":/symbols/" + name + ".svg");
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

}  // namespace

QPixmap PanelSymbols::pixmap(const QString& name, const QColor& color, int size,
                             const QColor& knockout, qreal ratio) {
    QByteArray svg = drawing(name);
    if (svg.isEmpty()) return {};
    svg.replace("#000000", color.name(QColor::HexRgb).toLatin1());
    svg.replace("#FFFFFF", knockout.name(QColor::HexRgb).toLatin1());
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) return {};
    const int pixels = qRound(size * ratio);
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // The drawing names opaque colours; a translucent one applies to the whole symbol.
        painter.setOpacity(color.alphaF());
        renderer.render(&painter, QRectF(0, 0, pixels, pixels));
    }
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QIcon PanelSymbols::icon(const QString& name, const QColor& color, const QColor& knockout) {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(pixmap(name, color, size, knockout));
    return icon;
}

}  // namespace caldrovex::platform
