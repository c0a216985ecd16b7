#pragma once

#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>
#include <memory>

#include "adapters/qt/HostControls.h"
#include "adapters/qt/SessionTexts.h"

class QWidget;

namespace caldrovex::platform {

class HostPanel;
class TrayIcon;

// The host on the desktop: the tray icon with the panel as its popup, and the panel window
// ("Orvelo Host", 400 × 650, centred), which serves where the desktop has no tray, when a
// second launch asks for the panel, and when the host needs attention at start. The window
// is made on first use and only hidden when closed, so it comes back as it was.
//
// GUI thread only; `controls` must outlive the shell. `onPanelShown` runs after the window
// was shown or raised.
class DesktopShell final : public QObject {
    Q_OBJECT

public:
    // `session`: the panel's words for the desktop session's back ends.
    DesktopShell(std::shared_ptr<HostControls> controls, QString version,
                 SessionTexts session = SessionTexts::x11());
    ~DesktopShell() override;

    // Whether a tray icon is shown (there was a tray at start).
    bool hasTray() const { return tray_ != nullptr; }
    // Shows the published state again in every panel and the tray.
    void refresh();
    // Opens or raises the panel window.
    void showPanel();
    // Pops the panel up beside the tray icon (at `near`, kept on its screen).
    void popUp(QPoint near);

    std::function<void()> onPanelShown;

    // For tests: the window and the popup once made (else null), and the tray icon.
    QWidget* window() const { return window_.get(); }
    QWidget* popup() const { return popup_.get(); }
    HostPanel* windowPanel() const { return windowPanel_; }
    const TrayIcon* tray() const { return tray_.get(); }

private:
    std::shared_ptr<HostControls> controls_;
    QString version_;
    SessionTexts session_;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<QWidget> window_;
    HostPanel* windowPanel_ = nullptr;
    std::unique_ptr<QWidget> popup_;
    HostPanel* popupPanel_ = nullptr;
};

}  // namespace caldrovex::platform
