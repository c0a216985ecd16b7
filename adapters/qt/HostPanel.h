#pragma once

#include <QImage>
#include <QPixmap>
#include <QWidget>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapters/qt/HostControls.h"
#include "adapters/qt/SessionTexts.h"
#include "trust/TrustedDevice.h"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace caldrovex::platform {

class QrCodeView;
class ToggleSwitch;

// The host's whole interface: one scrolling column, 400 × 650, dark, with the mint accent.
// Top to bottom: the header; the status with its dot; the error with its retry button; the
// sharing button; how devices reach this computer (private addresses with a refresh button,
// the relay line and switch, the local-network switch, a note); the permissions (in the
// session's words, `SessionTexts`, with what to do where nothing can be granted), remote
// control, open at login and the curtain (disabled where the session cannot have one); "YOUR
// DEVICES" with "Pair device"; the open invitation as a QR code with "Copy pairing link" and
// "Cancel"; the paired devices, each with "Revoke"; and the footer with the version and "Quit".
//
// It keeps no state of its own: `refresh` shows `controls.published()` as it is, and every
// control calls one HostControls operation. The owner calls `refresh` whenever the
// published state changed.
//
// GUI thread only. `controls` must outlive the panel.
class HostPanel final : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 400;
    static constexpr int kHeight = 650;
    static constexpr int kPadding = 24;

    // `version`: the application's version for the footer (may be empty).
    HostPanel(std::shared_ptr<HostControls> controls, const QString& version,
              SessionTexts session = SessionTexts::x11(), QWidget* parent = nullptr);

    void refresh();

private:
    QWidget* makeHeader();
    QWidget* makeReachSection();
    QWidget* makeOptionsSection(const SessionTexts& session);
    QWidget* makeInvitationSection();
    QWidget* makeFooter(const QString& version);
    QWidget* permissionRow(const QString& title, const QString& advice, QLabel*& symbol,
                           QLabel*& allowed, QLabel*& adviceLabel);
    QWidget* switchRow(const QString& title, ToggleSwitch*& toggle);
    // Runs a control's action, then shows the state again (see HostControls).
    template <typename Action>
    void act(Action action);

    void showReach(const HostPublished& state);
    void showOptions(const HostPublished& state);
    void showInvitation(const HostPublished& state);
    void showDevices(const std::vector<TrustedDevice>& devices);
    QWidget* deviceRow(const TrustedDevice& device);

    std::shared_ptr<HostControls> controls_;

    QLabel* statusDot_ = nullptr;
    QLabel* statusText_ = nullptr;
    QWidget* errorSection_ = nullptr;
    QLabel* errorText_ = nullptr;
    QPushButton* sharingButton_ = nullptr;

    QLabel* networkSymbol_ = nullptr;
    QLabel* networkTitle_ = nullptr;
    QLabel* addressLine_ = nullptr;
    QLabel* relaySymbol_ = nullptr;
    QLabel* relayText_ = nullptr;
    ToggleSwitch* relaySwitch_ = nullptr;
    ToggleSwitch* localNetworkSwitch_ = nullptr;

    QLabel* screenSymbol_ = nullptr;
    QLabel* screenAllowed_ = nullptr;
    QLabel* screenAdvice_ = nullptr;
    QLabel* inputSymbol_ = nullptr;
    QLabel* inputAllowed_ = nullptr;
    QLabel* inputAdvice_ = nullptr;
    ToggleSwitch* controlSwitch_ = nullptr;
    QLabel* controlRunOnly_ = nullptr;
    ToggleSwitch* loginSwitch_ = nullptr;
    ToggleSwitch* curtainSwitch_ = nullptr;
    bool curtainAvailable_ = true;

    QPushButton* pairButton_ = nullptr;
    QWidget* invitationSection_ = nullptr;
    QrCodeView* qrCode_ = nullptr;
    // The link whose code is drawn, so the image is made once per invitation.
    std::optional<std::string> shownLink_;

    QWidget* devicesList_ = nullptr;
    QVBoxLayout* devicesLayout_ = nullptr;
    // The list the rows show, so that they are rebuilt only when it changes.
    std::optional<std::vector<TrustedDevice>> shownDevices_;

    // The symbols in their two colours, drawn once.
    struct Symbols {
        QPixmap networkOn, networkOff, globeOn, globeOff, granted, missing;
    } symbols_;
};

}  // namespace caldrovex::platform
