#include "panel/PanelApplication.h"

#include <QCoreApplication>
#include <chrono>

namespace caldrovex::test {

QApplication& panelApplication() {
    static int argc = 1;
    static char name[] = "test_panel";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        auto* made = new QApplication(argc, argv);
        QApplication::setStyle("Fusion");
        return made;
    }();
    return *application;
}

void settleEvents() {
    panelApplication();
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

PairingInvitation sampleInvitation() {
    PairingInvitation invitation;
    invitation.hostID = "3FBDB3F1-16EA-4A94-B0A7-2E7C5A0F9B7C";
    invitation.name = "Ada's ThinkPad";
    invitation.address = "100.101.102.103";
    invitation.port = 48725;
    invitation.certificateHash = std::string(64, 'a');
    invitation.secret = "RiuFlVxEOJgQ53-hFZNjiGk1wQOft0TV0ffG4Trvduw";
    invitation.expiresAt = std::chrono::system_clock::now() + std::chrono::minutes(5);
    invitation.addresses = std::vector<std::string>{"100.101.102.103", "fd7a:115c:a1e0::1"};
    return invitation;
}

TrustedDevice sampleDevice(const std::string& id, const std::string& name) {
    TrustedDevice device;
    device.id = id;
    device.name = name;
    device.tokenHash = std::string(64, '0');
    device.pairedAt = std::chrono::system_clock::time_point(std::chrono::seconds(1'714'560'000));
    return device;
}

}  // namespace caldrovex::test
