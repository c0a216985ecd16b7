#pragma once

#include <QRasterWindow>
#include <QRect>

namespace caldrovex::platform {

// One curtain window: frameless, exactly covering its screen, kept out of the window
// manager's hands (override-redirect, so it is on every workspace and nothing decorates,
// moves or stacks it), letting every click through (an empty input shape), filled with
// white 0.02 at alpha 0.97 (near-black; a compositing manager lets 3 % of the desktop show
// through) and showing the CurtainMessage. Its native window exists from the start, so its
// id is known before it is ever shown.
class CurtainWindow final : public QRasterWindow {
public:
    // `area`: the screen's geometry, in logical pixels.
    explicit CurtainWindow(const QRect& area);

    // The screen area it was made to cover.
    QRect covered() const { return covered_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRect covered_;
};

}  // namespace caldrovex::platform
