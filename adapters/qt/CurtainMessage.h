#pragma once

#include <QRect>

class QPainter;

namespace caldrovex::platform {

// What every curtain window shows in its middle: a display symbol, the title "Orvelo session
// in progress" and a line telling why the screen is dark and when it returns, stacked and
// centred, in light colours on the dark curtain. Sizes are in logical pixels.
class CurtainMessage {
public:
    static constexpr const char* kTitle = "Orvelo session in progress";
    static constexpr const char* kLine =
        "This computer is in use from a paired iPhone or iPad. The screen returns when the "
        "session ends.";

    // Paints the message centred in `area`.
    static void paint(QPainter& painter, const QRect& area);
};

}  // namespace caldrovex::platform
