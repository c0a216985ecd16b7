#pragma once

#include <QObject>
#include <QPoint>
#include <functional>
#include <memory>

#include "host/HostPublished.h"

class QMenu;
class QSystemTrayIcon;

namespace caldrovex::platform {

// The host's item in the desktop's tray: the display symbol, or the display with a checkmark
// badge while a device is connected; "Orvelo" and the status sentence as its tooltip. A
// click reports `onOpen` with where the click was (the panel pops up there); its menu (the
// one thing some trays show on any click) offers the panel window and "Quit".
//
// GUI thread only. Callbacks may not destroy the icon.
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    TrayIcon();
    ~TrayIcon() override;

    // Whether the desktop has a tray to show it in now.
    static bool available();

    void show();
    void update(const HostPublished& state);
    // The symbol shown: "display" or "display.badge.checkmark".
    const char* symbol() const { return connected_ ? "display.badge.checkmark" : "display"; }

    std::function<void(QPoint near)> onOpen;
    std::function<void()> onShowPanel;
    std::function<void()> onQuit;

private:
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    bool connected_ = false;
    bool drawn_ = false;
};

}  // namespace caldrovex::platform
