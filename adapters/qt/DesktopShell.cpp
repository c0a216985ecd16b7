#include "adapters/qt/DesktopShell.h"

#include <algorithm>

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "adapters/qt/HostPanel.h"
#include "adapters/qt/PanelStyle.h"
#include "adapters/qt/PanelSymbols.h"
#include "adapters/qt/TrayIcon.h"

namespace caldrovex::platform {

namespace {

// A top-level widget holding one panel and nothing else.
std::unique_ptr<QWidget> holder(HostPanel*& panel, const std::shared_ptr<HostControls>& controls,
                                const QString& version, const SessionTexts& session,
                                Qt::WindowFlags flags) {
    auto widget = std::make_unique<QWidget>(nullptr, flags);
    auto* layout = new QVBoxLayout(widget.get());
    layout->setContentsMargins(0, 0, 0, 0);
    panel = new HostPanel(controls, version, session);
    layout->addWidget(panel);
    widget->setFixedSize(HostPanel::kWidth, HostPanel::kHeight);
    PanelStyle::applyScheme(widget.get());
    return widget;
}

}  // namespace

DesktopShell::DesktopShell(std::shared_ptr<HostControls> controls, QString version,
                           SessionTexts session)
    : controls_(std::move(controls)), version_(std::move(version)), session_(std::move(session)) {
    if (!TrayIcon::available()) return;
    tray_ = std::make_unique<TrayIcon>();
    tray_->onOpen = [this](QPoint near) { popUp(near); };
    tray_->onShowPanel = [this] { showPanel(); };
    tray_->onQuit = [this] { controls_->quit(); };
    tray_->update(controls_->published());
    tray_->show();
}

DesktopShell::~DesktopShell() = default;

void DesktopShell::refresh() {
    if (tray_) tray_->update(controls_->published());
    if (windowPanel_) windowPanel_->refresh();
    if (popupPanel_) popupPanel_->refresh();
}

void DesktopShell::showPanel() {
    if (!window_) {
        window_ = holder(windowPanel_, controls_, version_, session_, Qt::Window);
        window_->setWindowTitle("Orvelo Host");
        window_->setWindowIcon(PanelSymbols::icon("display", PanelStyle::accent()));
        if (auto* screen = QGuiApplication::primaryScreen()) {
            QRect frame(QPoint(), window_->size());
            frame.moveCenter(screen->availableGeometry().center());
            window_->move(frame.topLeft());
        }
    }
    if (popup_) popup_->hide();
    window_->show();
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->raise();
    window_->activateWindow();
    if (auto callback = onPanelShown) callback();
}

void DesktopShell::popUp(QPoint near) {
    if (!popup_) popup_ = holder(popupPanel_, controls_, version_, session_, Qt::Popup);
    if (popup_->isVisible()) {
        popup_->hide();
        return;
    }
    popupPanel_->refresh();
    // Below a tray at the top of the screen, above one at the bottom; always on the screen.
    QRect frame(QPoint(), popup_->size());
    frame.moveTopLeft(QPoint(near.x() - frame.width() / 2, near.y() + 12));
    QScreen* screen = QGuiApplication::screenAt(near);
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (screen) {
        const QRect area = screen->availableGeometry();
        if (frame.bottom() > area.bottom()) frame.moveBottom(near.y() - 12);
        frame.moveLeft(std::clamp(frame.left(), area.left(), area.right() - frame.width()));
        frame.moveTop(std::clamp(frame.top(), area.top(), area.bottom() - frame.height()));
    }
    popup_->move(frame.topLeft());
    popup_->show();
}

}  // namespace caldrovex::platform
