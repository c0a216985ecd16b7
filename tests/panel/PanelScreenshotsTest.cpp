// Pictures of the panel in four states, for a person to look at: written into the build tree
// (screenshots/), never compared with stored images. Each is the panel as it opens (400 × 650)
// and, beside it, the whole scrolling column.

#include <gtest/gtest.h>

#include <QDir>
#include <QScrollArea>
#include <memory>

#include "adapters/qt/HostPanel.h"
#include "panel/FakeHostControls.h"
#include "panel/PanelApplication.h"

namespace caldrovex::test {
namespace {

QString folder() {
    return QString(CALDROVEX_BINARY_DIR) + "/screenshots";
}

void capture(const HostPublished& state, const QString& name) {
    panelApplication();
    auto controls = std::make_shared<FakeHostControls>();
    controls->state = state;
    platform::HostPanel panel(controls, "0.1.0");
    panel.show();
    settleEvents();
    ASSERT_TRUE(QDir().mkpath(folder()));
    const QImage seen = panel.grab().toImage();
    EXPECT_EQ(seen.size() / seen.devicePixelRatio(), QSize(400, 650));
    EXPECT_TRUE(seen.save(folder() + "/panel-" + name + ".png"));
    auto* column = panel.findChild<QScrollArea*>()->widget();
    EXPECT_TRUE(column->grab().toImage().save(folder() + "/panel-" + name + "-full.png"));
}

HostPublished base() {
    HostPublished state;
    state.screenPermission = true;
    state.accessibilityPermission = true;
    return state;
}

TEST(PanelScreenshots, Off) {
    capture(base(), "off");
}

TEST(PanelScreenshots, ReadyWithAnInvitation) {
    auto state = base();
    state.running = true;
    state.status = "Ready on your private network";
    state.addresses = {"100.101.102.103", "fd7a:115c:a1e0::1"};
    state.relayStatus = RelayStatus::idle();
    state.invitation = sampleInvitation();
    state.devices = {sampleDevice("A", "Ada's iPhone")};
    capture(state, "ready-invitation");
}

TEST(PanelScreenshots, Connected) {
    auto state = base();
    state.running = true;
    state.status = "Connected to Ada's iPhone";
    state.activeDevice = "Ada's iPhone";
    state.addresses = {"100.101.102.103"};
    state.relayStatus = RelayStatus::ready();
    state.controlEnabled = true;
    state.curtainEnabled = true;
    state.loginEnabled = true;
    state.devices = {sampleDevice("A", "Ada's iPhone"), sampleDevice("B", "Ben's iPad")};
    capture(state, "connected");
}

TEST(PanelScreenshots, Error) {
    auto state = base();
    state.screenPermission = false;
    state.accessibilityPermission = false;
    state.relayEnabled = false;
    state.error =
        "Secure credential storage is unavailable (0). Unlock your device or login keyring and "
        "try again.";
    capture(state, "error");
}

}  // namespace
}  // namespace caldrovex::test
