#include "adapters/qt/PanelStyle.h"

#include <QFrame>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QWidget>

namespace caldrovex::platform {

namespace {

QString css(const QColor& color) {
    return color.name(QColor::HexArgb);
}

}  // namespace

QFont PanelStyle::font(Text style) {
    QFont font;
    switch (style) {
        case Text::title:
            font.setFamilies({"DejaVu Serif", "Noto Serif", "serif"});
            font.setStyleHint(QFont::Serif);
            font.setPixelSize(27);
            font.setWeight(QFont::DemiBold);
            break;
        case Text::headline:
            font.setPixelSize(14);
            font.setWeight(QFont::DemiBold);
            break;
        case Text::body:
            font.setPixelSize(13);
            break;
        case Text::callout:
            font.setPixelSize(13);
            break;
        case Text::caption:
            font.setPixelSize(11);
            break;
        case Text::captionSemibold:
            font.setPixelSize(11);
            font.setWeight(QFont::DemiBold);
            break;
        case Text::monospacedCaption:
            font.setFamilies({"DejaVu Sans Mono", "Noto Sans Mono", "monospace"});
            font.setStyleHint(QFont::Monospace);
            font.setPixelSize(11);
            break;
    }
    return font;
}

QLabel* PanelStyle::label(const QString& text, Text style, const QColor& color, bool wrap) {
    auto* label = new QLabel(text);
    label->setFont(font(style));
    label->setStyleSheet("color: " + css(color) + ";");
    label->setWordWrap(wrap);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QFrame* PanelStyle::dividerLine() {
    auto* line = new QFrame;
    line->setFixedHeight(1);
    line->setStyleSheet("background: " + css(divider()) + "; border: none;");
    return line;
}

QPushButton* PanelStyle::button(const QString& text, Button kind) {
    auto* button = new QPushButton(text);
    button->setCursor(Qt::PointingHandCursor);
    restyle(button, kind);
    return button;
}

void PanelStyle::restyle(QPushButton* button, Button kind) {
    QString face, pressed, text = css(primary()), padding = "4px 10px", radius = "6px";
    button->setFont(font(Text::body));
    switch (kind) {
        case Button::bordered:
            face = "#3a3a3c";
            pressed = "#48484a";
            break;
        case Button::destructive:
            face = "#3a3a3c";
            pressed = "#48484a";
            text = css(red());
            break;
        case Button::prominent:
            face = css(accent());
            pressed = css(accent().darker(115));
            text = "#0f2a1f";
            padding = "9px 22px";
            radius = "8px";
            button->setFont(font(Text::headline));
            break;
        case Button::prominentGrey:
            face = "#636366";
            pressed = "#545456";
            padding = "9px 22px";
            radius = "8px";
            button->setFont(font(Text::headline));
            break;
        case Button::plain:
            face = "transparent";
            pressed = "#3a3a3c";
            padding = "3px";
            break;
    }
    button->setStyleSheet(
        QString("QPushButton { background: %1; color: %2; border: none; border-radius: %3;"
                " padding: %4; }"
                "QPushButton:pressed { background: %5; }"
                "QPushButton:disabled { color: #6e6e73; background: %6; }")
            .arg(face, text, radius, padding, pressed,
                 kind == Button::plain ? "transparent" : "#2c2c2e"));
}

void PanelStyle::applyScheme(QWidget* widget) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, background());
    palette.setColor(QPalette::WindowText, primary());
    palette.setColor(QPalette::Base, background());
    palette.setColor(QPalette::AlternateBase, QColor(0x2c, 0x2c, 0x2e));
    palette.setColor(QPalette::Text, primary());
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3c));
    palette.setColor(QPalette::ButtonText, primary());
    palette.setColor(QPalette::Highlight, accent().darker(160));
    palette.setColor(QPalette::HighlightedText, primary());
    palette.setColor(QPalette::ToolTipBase, QColor(0x2c, 0x2c, 0x2e));
    palette.setColor(QPalette::ToolTipText, primary());
    palette.setColor(QPalette::PlaceholderText, secondary());
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

}  // namespace caldrovex::platform
