#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace caldrovex::platform {

// The panel's and the tray's symbols: small SVG drawings compiled into the program (the
// "symbols" resources), drawn in any colour at any size. Each drawing paints in black
// ("#000000"), which becomes the wanted colour, and cuts details out in white ("#FFFFFF"),
// which becomes the knockout colour (the background the symbol sits on).
//
// Names: "display", "display.badge.checkmark", "network", "globe", "checkmark.circle.fill",
// "circle", "plus", "arrow.clockwise", "ipad.and.iphone".
//
// Main (GUI) thread only, after the application object exists.
class PanelSymbols {
public:
    PanelSymbols() = delete;

    // A square pixmap `size` logical pixels wide at the device pixel ratio `ratio`; a null
    // pixmap for an unknown name.
    static QPixmap pixmap(const QString& name, const QColor& color, int size,
                          const QColor& knockout = QColor(0x1e, 0x1e, 0x1e), qreal ratio = 1);
    // The same drawing at the usual icon sizes, for buttons and the tray.
    static QIcon icon(const QString& name, const QColor& color,
                      const QColor& knockout = QColor(0x1e, 0x1e, 0x1e));
};

}  // namespace caldrovex::platform
