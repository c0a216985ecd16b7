// The panel against a fake of the host's published state: what each state shows, and what
// each control does. Runs on a real X display (Xvfb, xcb), clipboard included.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <memory>

#include "adapters/qt/HostPanel.h"
#include "adapters/qt/PanelTexts.h"
#include "adapters/qt/QrCodeView.h"
#include "adapters/qt/QrImage.h"
#include "adapters/qt/ToggleSwitch.h"
#include "host/InvitationLink.h"
#include "panel/FakeHostControls.h"
#include "panel/PanelApplication.h"

namespace caldrovex::test {
namespace {

using platform::HostPanel;
using platform::ToggleSwitch;

class HostPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        panelApplication();
        controls = std::make_shared<FakeHostControls>();
        controls->state.screenPermission = true;
        controls->state.accessibilityPermission = true;
    }

    // Makes the panel for the state as set, refreshed on every change like the real one.
    HostPanel& show(platform::SessionTexts session = platform::SessionTexts::x11()) {
        panel = std::make_unique<HostPanel>(controls, "0.1.0", session);
        controls->onChange = [this] { panel->refresh(); };
        panel->show();
        settleEvents();
        return *panel;
    }
    // The state changed by the host itself.
    void publish() { panel->refresh(); }

    QPushButton* button(const QString& text) {
        auto found = visibleWithText<QPushButton>(panel.get(), text);
        return found.size() == 1 ? found[0] : nullptr;
    }
    bool showsLabel(const QString& text) {
        return !visibleWithText<QLabel>(panel.get(), text).empty();
    }
    template <typename Widget = QLabel>
    Widget* named(const char* name) {
        return panel->findChild<Widget*>(name);
    }
    ToggleSwitch* switchNamed(const QString& accessibleName) {
        for (auto* toggle : panel->findChildren<ToggleSwitch*>())
            if (toggle->accessibleName() == accessibleName) return toggle;
        return nullptr;
    }
    bool visible(QWidget* widget) { return widget && widget->isVisibleTo(panel.get()); }

    std::shared_ptr<FakeHostControls> controls;
    std::unique_ptr<HostPanel> panel;
};

TEST_F(HostPanelTest, IsTheFixedDarkColumnWithItsHeaderAndFooter) {
    show();
    EXPECT_EQ(panel->size(), QSize(400, 650));
    EXPECT_TRUE(showsLabel("Orvelo"));
    EXPECT_TRUE(showsLabel("Your computer. Within reach."));
    EXPECT_TRUE(showsLabel("Orvelo Host 0.1.0"));
    EXPECT_TRUE(button("Quit"));
    EXPECT_LT(panel->palette().color(QPalette::Window).lightness(), 50) << "dark scheme";
    button("Quit")->click();
    EXPECT_EQ(controls->calls, std::vector<std::string>{"quit"});
}

TEST_F(HostPanelTest, WithSharingOffPairingIsDisabledAndTheRelayWaits) {
    controls->state.relayEnabled = true;
    show();
    ASSERT_TRUE(button("Pair device"));
    EXPECT_FALSE(button("Pair device")->isEnabled());
    EXPECT_EQ(named("relayText")->text(), "Starts when sharing is on");
    EXPECT_TRUE(showsLabel("Sharing is off"));

    button("Start sharing")->click();
    EXPECT_EQ(controls->calls, std::vector<std::string>{"start"});
    EXPECT_TRUE(button("Pair device")->isEnabled());
    ASSERT_TRUE(button("Stop sharing"));
    button("Pair device")->click();
    button("Stop sharing")->click();
    EXPECT_EQ(controls->calls, (std::vector<std::string>{"start", "invite", "stop"}));
    EXPECT_FALSE(button("Pair device")->isEnabled());
}

TEST_F(HostPanelTest, ErrorLineComesWithItsRetryAndGoesWhenCleared) {
    show();
    EXPECT_FALSE(visible(named("errorText")));
    EXPECT_FALSE(button("Retry secure credential access"));

    controls->state.error = "Secure credential storage is unavailable (0).";
    publish();
    ASSERT_TRUE(visible(named("errorText")));
    EXPECT_EQ(named("errorText")->text(), "Secure credential storage is unavailable (0).");
    EXPECT_TRUE(named("errorText")->textInteractionFlags() & Qt::TextSelectableByMouse);
    ASSERT_TRUE(button("Retry secure credential access"));

    button("Retry secure credential access")->click();
    EXPECT_EQ(controls->calls, std::vector<std::string>{"retry"});
    EXPECT_FALSE(visible(named("errorText")));
    EXPECT_FALSE(button("Retry secure credential access"));
}

TEST_F(HostPanelTest, AddressesOnOneLineOrTheNoVpnTitle) {
    controls->state.addresses = {"100.64.0.7", "fd7a:115c:a1e0::7"};
    show();
    EXPECT_EQ(named("networkTitle")->text(), "Private network");
    ASSERT_TRUE(visible(named("addressLine")));
    EXPECT_EQ(named("addressLine")->text(), "100.64.0.7 \u00b7 fd7a:115c:a1e0::7");

    controls->state.addresses.clear();
    publish();
    EXPECT_EQ(named("networkTitle")->text(), "No VPN on this computer");
    EXPECT_FALSE(visible(named("addressLine")));

    named<QPushButton>("refreshAddresses")->click();
    EXPECT_EQ(controls->calls, std::vector<std::string>{"refresh"});
    EXPECT_EQ(named<QPushButton>("refreshAddresses")->toolTip(), "Look for VPN addresses again");
}

TEST_F(HostPanelTest, InvitationShowsItsCodeUntilCancelled) {
    controls->state.running = true;
    show();
    EXPECT_FALSE(visible(named<QWidget>("invitation")));

    controls->state.invitation = sampleInvitation();
    publish();
    ASSERT_TRUE(visible(named<QWidget>("invitation")));
    EXPECT_TRUE(showsLabel("Scan in Orvelo on iPhone or iPad"));
    EXPECT_TRUE(showsLabel("One use \u00b7 Expires in five minutes"));
    const auto link = *InvitationLink::make(*controls->state.invitation);
    auto* code = named<platform::QrCodeView>("qrCode");
    EXPECT_EQ(code->image(), platform::QrImage::make(link)) << "the code of exactly the link";
    EXPECT_EQ(code->size(), QSize(236, 236)) << "212 with 12 of padding on each side";

    button("Cancel")->click();
    EXPECT_EQ(controls->calls, std::vector<std::string>{"cancel"});
    EXPECT_FALSE(visible(named<QWidget>("invitation"))) << "gone at once";
}

TEST_F(HostPanelTest, CopyPairingLinkLeavesExactlyTheLinkOnTheClipboard) {
    controls->state.running = true;
    controls->state.invitation = sampleInvitation();
    show();
    auto* clipboard = QGuiApplication::clipboard();
    auto* earlier = new QMimeData;
    earlier->setHtml("<b>something else</b>");
    earlier->setText("something else");
    clipboard->setMimeData(earlier);
    settleEvents();

    button("Copy pairing link")->click();
    settleEvents();
    const auto link = QString::fromStdString(*InvitationLink::make(*controls->state.invitation));
    EXPECT_EQ(clipboard->text(), link);
    ASSERT_TRUE(clipboard->mimeData());
    EXPECT_EQ(clipboard->mimeData()->formats(), QStringList{"text/plain"});
    EXPECT_TRUE(controls->calls.empty()) << "copying changes nothing in the host";
}

TEST_F(HostPanelTest, ThreeDevicesThreeRowsEachRevokingItsOwn) {
    show();
    EXPECT_TRUE(showsLabel("Pair once. Your devices reconnect automatically afterward."));

    controls->state.devices = {sampleDevice("A", "Ada's iPhone"), sampleDevice("B", "Ben's iPad"),
                               sampleDevice("C", "Cy's iPhone")};
    publish();
    settleEvents();
    auto rows = panel->findChildren<QWidget*>("deviceRow");
    ASSERT_EQ(rows.size(), 3);
    const QStringList names{"Ada's iPhone", "Ben's iPad", "Cy's iPhone"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i]->findChild<QLabel*>("deviceName")->text(), names[i]) << "stored order";
        EXPECT_EQ(visibleWithText<QPushButton>(rows[i], "Revoke").size(), 1u);
    }
    EXPECT_FALSE(showsLabel("Pair once. Your devices reconnect automatically afterward."));

    visibleWithText<QPushButton>(rows[1], "Revoke")[0]->click();
    settleEvents();
    EXPECT_EQ(controls->calls, std::vector<std::string>{"revoke B"});
    rows = panel->findChildren<QWidget*>("deviceRow");
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0]->findChild<QLabel*>("deviceName")->text(), "Ada's iPhone");
    EXPECT_EQ(rows[1]->findChild<QLabel*>("deviceName")->text(), "Cy's iPhone");
}

TEST_F(HostPanelTest, SwitchesCallTheirSettingAndSpringBackWhenRefused) {
    show();
    struct Case {
        const char* name;
        const char* call;
    };
    const Case cases[] = {
        {"Orvelo Connect", "relay"},
        {"Also accept devices on this computer's local network", "local"},
        {"Allow remote control", "control"},
        {"Dim this computer's screen during sessions", "curtain"},
        {"Open at login", "login"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto* toggle = switchNamed(c.name);
        ASSERT_TRUE(toggle);
        const bool before = toggle->isChecked();
        toggle->click();
        EXPECT_EQ(controls->calls.back(), std::string(c.call) + (before ? " off" : " on"));
        EXPECT_NE(toggle->isChecked(), before);
    }

    controls->loginFails = true;
    auto* login = switchNamed("Open at login");
    const bool before = login->isChecked();
    login->click();
    EXPECT_EQ(login->isChecked(), before) << "the host kept it as it was";
    EXPECT_EQ(named("errorText")->text(), "The login entry could not be written.");
}

TEST_F(HostPanelTest, PermissionRowsShowTheProbesAndWhatToDo) {
    controls->state.screenPermission = false;
    controls->state.accessibilityPermission = true;
    show();
    EXPECT_EQ(visibleWithText<QLabel>(panel.get(), "Allowed").size(), 1u) << "XTEST only";
    bool advised = false;
    for (auto* label : panel->findChildren<QLabel*>())
        advised |= label->isVisibleTo(panel.get()) && label->text().startsWith("No X display");
    EXPECT_TRUE(advised) << "where nothing can be granted, the panel says what to do";
    EXPECT_FALSE(button("Allow"));

    controls->state.screenPermission = true;
    publish();
    EXPECT_EQ(visibleWithText<QLabel>(panel.get(), "Allowed").size(), 2u);
}

TEST_F(HostPanelTest, OnGnomeWaylandTheRowsNameGnomeAndTheCurtainCannotBeHad) {
    controls->state.accessibilityPermission = false;
    controls->state.curtainEnabled = true;
    const auto session = platform::SessionTexts::gnomeWayland();
    show(session);
    EXPECT_TRUE(showsLabel(session.screenTitle));
    EXPECT_FALSE(showsLabel(platform::SessionTexts::x11().screenTitle));
    EXPECT_TRUE(showsLabel(session.inputAdvice)) << "no remote desktop: what to do";
    EXPECT_EQ(visibleWithText<QLabel>(panel.get(), "Allowed").size(), 1u);

    auto* curtain = switchNamed("Dim this computer's screen during sessions");
    ASSERT_TRUE(curtain);
    EXPECT_FALSE(curtain->isEnabled());
    EXPECT_FALSE(curtain->isChecked()) << "a saved curtain that cannot come is not shown on";
    EXPECT_TRUE(showsLabel(session.curtainUnavailable));
    curtain->click();
    EXPECT_TRUE(controls->calls.empty()) << "a disabled switch calls nothing";
}

TEST_F(HostPanelTest, RemoteControlForThisRunOnlyIsSaidSo) {
    controls->state.controlEnabled = true;
    controls->state.controlSaved = false;
    show();
    EXPECT_TRUE(showsLabel("Allowed for this run only; the saved setting is off."));
    controls->state.controlSaved = true;
    publish();
    EXPECT_FALSE(showsLabel("Allowed for this run only; the saved setting is off."));
}

TEST(PanelTexts, RelayLineForEveryStatus) {
    struct Case {
        RelayStatus status;
        bool enabled;
        const char* text;
    };
    const Case cases[] = {
        {RelayStatus::off(), true, "Starts when sharing is on"},
        {RelayStatus::off(), false, "Off \u00b7 private networks only"},
        {RelayStatus::idle(), true, "Ready \u00b7 used once a device is paired"},
        {RelayStatus::connecting(), true, "Connecting\u2026"},
        {RelayStatus::ready(), true, "Reachable from anywhere, no VPN needed"},
        {RelayStatus::unreachable("The relay refused the link."), true,
         "Not reachable right now \u00b7 The relay refused the link."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::PanelTexts::relayText(c.status, c.enabled), c.text);
}

TEST(QrImage, LevelMModulesAsSixPixelSquaresWithoutSmoothing) {
    const std::string link = "orvelo://pair?data=" + std::string(300, 'a');
    const QImage image = platform::QrImage::make(link);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width() % 6, 0);
    // Bytes (lower case leaves no denser mode): version 12 at level M holds 287 at most, 319
    // need version 13, 69 modules wide.
    EXPECT_EQ(image.width(), 69 * 6);
    // Only pure black and white, each module a uniform 6 × 6 block.
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            ASSERT_TRUE(pixel == qRgb(0, 0, 0) || pixel == qRgb(255, 255, 255));
            ASSERT_EQ(pixel, image.pixel(x - x % 6, y - y % 6));
        }
    EXPECT_TRUE(platform::QrImage::make(std::string(5000, 'z')).isNull());
}

}  // namespace
}  // namespace caldrovex::test
