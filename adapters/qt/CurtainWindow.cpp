#include "adapters/qt/CurtainWindow.h"

#include <QColor>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QSurfaceFormat>

#include "adapters/qt/CurtainMessage.h"

namespace caldrovex::platform {

namespace {

const QColor kBackground = QColor::fromRgbF(0.02f, 0.02f, 0.02f, 0.97f);

}  // namespace

CurtainWindow::CurtainWindow(const QRect& area) : covered_(area) {
    setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
             Qt::WindowStaysOnTopHint | Qt::WindowTransparentForInput |
             Qt::WindowDoesNotAcceptFocus);
    // An alpha channel, so that a compositing manager blends the window as asked.
    QSurfaceFormat surface = format();
    surface.setAlphaBufferSize(8);
    setFormat(surface);
    if (QScreen* screen = QGuiApplication::screenAt(covered_.center())) setScreen(screen);
    setGeometry(covered_);
    setOpacity(0);
    create();
}

void CurtainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(QRect(QPoint(0, 0), size()), kBackground);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    CurtainMessage::paint(painter, QRect(QPoint(0, 0), size()));
}

}  // namespace caldrovex::platform
