#include "adapters/qt/TrayIcon.h"

#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include "adapters/qt/PanelStyle.h"
#include "adapters/qt/PanelSymbols.h"

namespace caldrovex::platform {

TrayIcon::TrayIcon()
    : menu_(std::make_unique<QMenu>()), icon_(std::make_unique<QSystemTrayIcon>()) {
    auto* open = menu_->addAction("Open Orvelo Host");
    connect(open, &QAction::triggered, this, [this] {
        if (auto callback = onShowPanel) callback();
    });
    menu_->addSeparator();
    auto* quit = menu_->addAction("Quit");
    connect(quit, &QAction::triggered, this, [this] {
        if (auto callback = onQuit) callback();
    });
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
                    return;
                // Trays that know where the icon is say so; others leave the pointer.
                const QRect where = icon_->geometry();
                const QPoint near = where.isValid() ? where.center() : QCursor::pos();
                if (auto callback = onOpen) callback(near);
            });
    update(HostPublished{});
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::show() {
    icon_->show();
}

void TrayIcon::update(const HostPublished& state) {
    const bool connected = state.activeDevice.has_value();
    if (!drawn_ || connected != connected_) {
        connected_ = connected;
        drawn_ = true;
        icon_->setIcon(
            PanelSymbols::icon(symbol(), PanelStyle::accent(), PanelStyle::background()));
    }
    icon_->setToolTip("Orvelo\n" + QString::fromStdString(state.status));
}

}  // namespace caldrovex::platform
