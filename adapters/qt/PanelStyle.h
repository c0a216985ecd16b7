#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;
class QWidget;

namespace caldrovex::platform {

// The panel's look: a dark scheme with the mint accent, the text styles it uses (sizes in
// logical pixels, the panel being 400 × 650 of them), and small makers for its labels,
// buttons and dividers. GUI thread only.
class PanelStyle {
public:
    PanelStyle() = delete;

    // red 0.5, green 0.88, blue 0.72
    static QColor accent() { return QColor::fromRgbF(0.5f, 0.88f, 0.72f); }
    static QColor background() { return QColor(0x1e, 0x1e, 0x1e); }
    static QColor primary() { return QColor(0xf2, 0xf2, 0xf7); }
    static QColor secondary() { return QColor(0x98, 0x98, 0x9f); }
    static QColor orange() { return QColor(0xff, 0x9f, 0x0a); }
    static QColor red() { return QColor(0xff, 0x45, 0x3a); }
    static QColor divider() { return QColor(0x3a, 0x3a, 0x3c); }

    enum class Text { title, headline, body, callout, caption, captionSemibold, monospacedCaption };
    static QFont font(Text style);

    // A label in `style` and `color`; wrapping labels break their lines at the panel's width.
    static QLabel* label(const QString& text, Text style, const QColor& color, bool wrap = false);
    static QFrame* dividerLine();

    enum class Button { bordered, prominent, prominentGrey, destructive, plain };
    static QPushButton* button(const QString& text, Button kind);
    // Gives `button` the look of `kind` (the sharing button changes it with the state).
    static void restyle(QPushButton* button, Button kind);

    // The dark palette for the panel and everything in it.
    static void applyScheme(QWidget* widget);
};

}  // namespace caldrovex::platform
