#pragma once

#include <QAbstractButton>
#include <QColor>

namespace caldrovex::platform {

// An on/off switch drawn as a pill with a round knob, the panel's toggle. Checkable; the
// user's click reports `clicked(bool)` with the new state, while `setChecked` from the
// panel's refresh reports nothing of the kind, so showing the state never acts on it.
//
// GUI thread only.
class ToggleSwitch final : public QAbstractButton {
    Q_OBJECT

public:
    explicit ToggleSwitch(QColor accent, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor accent_;
};

}  // namespace caldrovex::platform
