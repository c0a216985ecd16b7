#include "adapters/qt/HostPanel.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "adapters/qt/PanelStyle.h"
#include "adapters/qt/PanelSymbols.h"
#include "adapters/qt/PanelTexts.h"
#include "adapters/qt/QrCodeView.h"
#include "adapters/qt/QrImage.h"
#include "adapters/qt/ToggleSwitch.h"
#include "host/InvitationLink.h"

namespace caldrovex::platform {

namespace {

using Text = PanelStyle::Text;
using Button = PanelStyle::Button;

constexpr int kSymbolSize = 20;
constexpr int kSmallSymbolSize = 16;
constexpr int kHeaderSymbolSize = 30;

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* symbolLabel(int size) {
    auto* label = new QLabel;
    label->setFixedSize(size, size);
    return label;
}

QPixmap symbol(const char* name, const QColor& color, int size = kSymbolSize) {
    return PanelSymbols::pixmap(name, color, size, PanelStyle::background(),
                                qGuiApp->devicePixelRatio());
}

QString joined(const std::vector<std::string>& parts, const QString& separator) {
    QStringList list;
    for (const auto& part : parts) list << qs(part);
    return list.join(separator);
}

// The pairing date as a date, in the user's language, without the weekday.
QString dateText(std::chrono::system_clock::time_point when) {
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    const QDate date = QDateTime::fromMSecsSinceEpoch(milliseconds).date();
    QLocale locale;
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.remove(QRegularExpression("dddd[,\\s]*"));
    return locale.toString(date, format.trimmed());
}

QVBoxLayout* column(QWidget* owner, int spacing) {
    auto* layout = new QVBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QHBoxLayout* rowLayout(QWidget* owner, int spacing = 10) {
    auto* layout = new QHBoxLayout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

}  // namespace

HostPanel::HostPanel(std::shared_ptr<HostControls> controls, const QString& version,
                     SessionTexts session, QWidget* parent)
    : QWidget(parent), controls_(std::move(controls)) {
    setFixedSize(kWidth, kHeight);
    PanelStyle::applyScheme(this);
    const QColor accent = PanelStyle::accent(), secondary = PanelStyle::secondary();
    symbols_ = {symbol("network", accent),
                symbol("network", secondary),
                symbol("globe", accent),
                symbol("globe", secondary),
                symbol("checkmark.circle.fill", accent, kSmallSymbolSize),
                symbol("circle", PanelStyle::orange(), kSmallSymbolSize)};

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->verticalScrollBar()->setStyleSheet(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px; }"
        "QScrollBar::handle:vertical { background: #5a5a5e; border-radius: 3px;"
        " min-height: 30px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    auto* content = new QWidget;
    PanelStyle::applyScheme(content);
    scroll->setWidget(content);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(14);

    layout->addWidget(makeHeader());

    // Status.
    auto* status = new QWidget;
    auto* statusRow = rowLayout(status, 8);
    statusDot_ = new QLabel;
    statusDot_->setFixedSize(7, 7);
    statusText_ = PanelStyle::label({}, Text::callout, PanelStyle::primary(), true);
    statusRow->addWidget(statusDot_, 0, Qt::AlignVCenter);
    statusRow->addWidget(statusText_, 1);
    layout->addWidget(status);

    // Error with its retry.
    errorSection_ = new QWidget;
    auto* errorColumn = column(errorSection_, 8);
    errorText_ = PanelStyle::label({}, Text::callout, PanelStyle::orange(), true);
    errorText_->setObjectName("errorText");
    errorText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* retry = PanelStyle::button("Retry secure credential access", Button::bordered);
    connect(retry, &QPushButton::clicked, this,
            [this] { act([&] { controls_->retryCredentials(); }); });
    errorColumn->addWidget(errorText_);
    errorColumn->addWidget(retry, 0, Qt::AlignLeft);
    layout->addWidget(errorSection_);

    sharingButton_ = PanelStyle::button("Start sharing", Button::prominent);
    sharingButton_->setObjectName("sharingButton");
    connect(sharingButton_, &QPushButton::clicked, this, [this] {
        act([&] {
            if (controls_->published().running)
                controls_->stopSharing();
            else
                controls_->startSharing();
        });
    });
    layout->addWidget(sharingButton_, 0, Qt::AlignLeft);

    layout->addWidget(PanelStyle::dividerLine());
    layout->addWidget(makeReachSection());
    layout->addWidget(PanelStyle::dividerLine());
    layout->addWidget(makeOptionsSection(session));
    layout->addWidget(PanelStyle::dividerLine());

    // Devices header with "Pair device".
    auto* devicesHeader = new QWidget;
    auto* devicesRow = rowLayout(devicesHeader);
    devicesRow->addWidget(
        PanelStyle::label("YOUR DEVICES", Text::captionSemibold, PanelStyle::secondary()));
    devicesRow->addStretch(1);
    pairButton_ = PanelStyle::button("Pair device", Button::bordered);
    pairButton_->setIcon(PanelSymbols::icon("plus", PanelStyle::primary()));
    connect(pairButton_, &QPushButton::clicked, this,
            [this] { act([&] { controls_->makeInvitation(); }); });
    devicesRow->addWidget(pairButton_);
    layout->addWidget(devicesHeader);

    layout->addWidget(makeInvitationSection());

    devicesList_ = new QWidget;
    devicesLayout_ = column(devicesList_, 10);
    layout->addWidget(devicesList_);

    layout->addWidget(PanelStyle::dividerLine());
    layout->addWidget(makeFooter(version));
    layout->addStretch(1);

    refresh();
}

QWidget* HostPanel::makeHeader() {
    auto* header = new QWidget;
    auto* row = rowLayout(header, 12);
    auto* display = symbolLabel(kHeaderSymbolSize);
    display->setPixmap(symbol("display", PanelStyle::accent(), kHeaderSymbolSize));
    row->addWidget(display, 0, Qt::AlignVCenter);
    auto* titles = new QWidget;
    auto* titleColumn = column(titles, 2);
    titleColumn->addWidget(PanelStyle::label("Orvelo", Text::title, PanelStyle::primary()));
    titleColumn->addWidget(
        PanelStyle::label("Your computer. Within reach.", Text::body, PanelStyle::secondary()));
    row->addWidget(titles, 1);
    return header;
}

QWidget* HostPanel::makeReachSection() {
    auto* section = new QWidget;
    auto* layout = column(section, 12);
    layout->addWidget(PanelStyle::label("HOW DEVICES REACH THIS COMPUTER", Text::captionSemibold,
                                        PanelStyle::secondary()));

    // Private network.
    auto* network = new QWidget;
    auto* networkRow = rowLayout(network);
    networkSymbol_ = symbolLabel(kSymbolSize);
    networkRow->addWidget(networkSymbol_, 0, Qt::AlignTop);
    auto* networkTexts = new QWidget;
    auto* networkColumn = column(networkTexts, 2);
    networkTitle_ = PanelStyle::label({}, Text::callout, PanelStyle::primary());
    networkTitle_->setObjectName("networkTitle");
    addressLine_ = PanelStyle::label({}, Text::monospacedCaption, PanelStyle::secondary(), true);
    addressLine_->setObjectName("addressLine");
    addressLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    networkColumn->addWidget(networkTitle_);
    networkColumn->addWidget(addressLine_);
    networkRow->addWidget(networkTexts, 1);
    auto* refresh = PanelStyle::button({}, Button::plain);
    refresh->setObjectName("refreshAddresses");
    refresh->setIcon(PanelSymbols::icon("arrow.clockwise", PanelStyle::secondary()));
    refresh->setToolTip("Look for VPN addresses again");
    refresh->setAccessibleName("Look for VPN addresses again");
    connect(refresh, &QPushButton::clicked, this,
            [this] { act([&] { controls_->refreshListeners(); }); });
    networkRow->addWidget(refresh, 0, Qt::AlignTop);
    layout->addWidget(network);

    // Relay.
    auto* relay = new QWidget;
    auto* relayRow = rowLayout(relay);
    relaySymbol_ = symbolLabel(kSymbolSize);
    relayRow->addWidget(relaySymbol_, 0, Qt::AlignTop);
    auto* relayTexts = new QWidget;
    auto* relayColumn = column(relayTexts, 2);
    relayColumn->addWidget(
        PanelStyle::label("Orvelo Connect", Text::callout, PanelStyle::primary()));
    relayText_ = PanelStyle::label({}, Text::caption, PanelStyle::secondary(), true);
    relayText_->setObjectName("relayText");
    relayColumn->addWidget(relayText_);
    relayRow->addWidget(relayTexts, 1);
    relaySwitch_ = new ToggleSwitch(PanelStyle::accent());
    relaySwitch_->setObjectName("relaySwitch");
    relaySwitch_->setAccessibleName("Orvelo Connect");
    connect(relaySwitch_, &ToggleSwitch::clicked, this,
            [this](bool on) { act([&] { controls_->setRelayEnabled(on); }); });
    relayRow->addWidget(relaySwitch_, 0, Qt::AlignVCenter);
    layout->addWidget(relay);

    layout->addWidget(
        switchRow("Also accept devices on this computer's local network", localNetworkSwitch_));
    connect(localNetworkSwitch_, &ToggleSwitch::clicked, this,
            [this](bool on) { act([&] { controls_->setLocalNetworkEnabled(on); }); });
    layout->addWidget(PanelStyle::label(
        "Any VPN works: Tailscale, WireGuard, ZeroTier or a work VPN. Without one, Orvelo "
        "Connect reaches this computer from anywhere through an encrypted relay that cannot see "
        "your screen. Each paired device has its own revocable credential.",
        Text::caption, PanelStyle::secondary(), true));
    return section;
}

QWidget* HostPanel::makeOptionsSection(const SessionTexts& session) {
    auto* section = new QWidget;
    auto* layout = column(section, 12);
    layout->addWidget(permissionRow(session.screenTitle, session.screenAdvice, screenSymbol_,
                                    screenAllowed_, screenAdvice_));
    layout->addWidget(permissionRow(session.inputTitle, session.inputAdvice, inputSymbol_,
                                    inputAllowed_, inputAdvice_));

    layout->addWidget(switchRow("Allow remote control", controlSwitch_));
    connect(controlSwitch_, &ToggleSwitch::clicked, this,
            [this](bool on) { act([&] { controls_->setControlEnabled(on); }); });
    layout->addWidget(
        PanelStyle::label(session.controlNote, Text::caption, PanelStyle::secondary(), true));
    controlRunOnly_ = PanelStyle::label({}, Text::caption, PanelStyle::orange(), true);
    layout->addWidget(controlRunOnly_);

    layout->addWidget(switchRow("Open at login", loginSwitch_));
    connect(loginSwitch_, &ToggleSwitch::clicked, this,
            [this](bool on) { act([&] { controls_->setLogin(on); }); });

    layout->addWidget(switchRow("Dim this computer's screen during sessions", curtainSwitch_));
    connect(curtainSwitch_, &ToggleSwitch::clicked, this,
            [this](bool on) { act([&] { controls_->setCurtainEnabled(on); }); });
    curtainAvailable_ = session.curtainUnavailable.isEmpty();
    curtainSwitch_->setEnabled(curtainAvailable_);
    layout->addWidget(
        curtainAvailable_
            ? PanelStyle::label("People near the computer see a dark screen while your iPhone or "
                                "iPad still sees everything. It lifts when the session ends.",
                                Text::caption, PanelStyle::secondary(), true)
            : PanelStyle::label(session.curtainUnavailable, Text::caption, PanelStyle::orange(),
                                true));
    return section;
}

QWidget* HostPanel::makeInvitationSection() {
    invitationSection_ = new QWidget;
    invitationSection_->setObjectName("invitation");
    auto* layout = column(invitationSection_, 6);
    qrCode_ = new QrCodeView;
    qrCode_->setObjectName("qrCode");
    layout->addWidget(qrCode_, 0, Qt::AlignLeft);
    layout->addSpacing(4);
    layout->addWidget(PanelStyle::label("Scan in Orvelo on iPhone or iPad", Text::headline,
                                        PanelStyle::primary()));
    layout->addWidget(PanelStyle::label("One use \u00b7 Expires in five minutes", Text::caption,
                                        PanelStyle::secondary()));
    auto* buttons = new QWidget;
    auto* row = rowLayout(buttons, 8);
    auto* copy = PanelStyle::button("Copy pairing link", Button::bordered);
    connect(copy, &QPushButton::clicked, this, [this] {
        const auto& invitation = controls_->published().invitation;
        auto link = invitation ? InvitationLink::make(*invitation) : std::nullopt;
        if (!link) return;
        auto* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(qs(*link));
    });
    auto* cancel = PanelStyle::button("Cancel", Button::bordered);
    connect(cancel, &QPushButton::clicked, this,
            [this] { act([&] { controls_->cancelInvitation(); }); });
    row->addWidget(copy);
    row->addWidget(cancel);
    row->addStretch(1);
    layout->addSpacing(4);
    layout->addWidget(buttons);
    return invitationSection_;
}

QWidget* HostPanel::makeFooter(const QString& version) {
    auto* footer = new QWidget;
    auto* row = rowLayout(footer);
    row->addWidget(
        PanelStyle::label("Orvelo Host " + version, Text::caption, PanelStyle::secondary()));
    row->addStretch(1);
    auto* quit = PanelStyle::button("Quit", Button::bordered);
    connect(quit, &QPushButton::clicked, this, [this] { controls_->quit(); });
    row->addWidget(quit);
    return footer;
}

QWidget* HostPanel::permissionRow(const QString& title, const QString& advice, QLabel*& symbol,
                                  QLabel*& allowed, QLabel*& adviceLabel) {
    auto* permission = new QWidget;
    auto* layout = column(permission, 4);
    auto* top = new QWidget;
    auto* row = rowLayout(top, 8);
    symbol = symbolLabel(kSmallSymbolSize);
    row->addWidget(symbol, 0, Qt::AlignVCenter);
    row->addWidget(PanelStyle::label(title, Text::callout, PanelStyle::primary()), 1);
    allowed = PanelStyle::label("Allowed", Text::caption, PanelStyle::secondary());
    row->addWidget(allowed);
    layout->addWidget(top);
    // On X11 nothing can be granted from here: where the probe fails, say what to do instead
    // of offering an "Allow" button.
    adviceLabel = PanelStyle::label(advice, Text::caption, PanelStyle::secondary(), true);
    adviceLabel->setContentsMargins(kSmallSymbolSize + 8, 0, 0, 0);
    layout->addWidget(adviceLabel);
    return permission;
}

QWidget* HostPanel::switchRow(const QString& title, ToggleSwitch*& toggle) {
    auto* widget = new QWidget;
    auto* row = rowLayout(widget);
    row->addWidget(PanelStyle::label(title, Text::callout, PanelStyle::primary(), true), 1);
    toggle = new ToggleSwitch(PanelStyle::accent());
    toggle->setAccessibleName(title);
    row->addWidget(toggle, 0, Qt::AlignVCenter);
    return widget;
}

template <typename Action>
void HostPanel::act(Action action) {
    action();
    refresh();
}

void HostPanel::refresh() {
    const HostPublished& state = controls_->published();
    const QColor dot = state.running ? PanelStyle::accent() : PanelStyle::secondary();
    statusDot_->setStyleSheet("background: " + dot.name() + "; border-radius: 3px;");
    statusText_->setText(qs(state.status));

    errorSection_->setVisible(state.error.has_value());
    errorText_->setText(qs(state.error.value_or("")));

    sharingButton_->setText(state.running ? "Stop sharing" : "Start sharing");
    PanelStyle::restyle(sharingButton_, state.running ? Button::prominentGrey : Button::prominent);

    showReach(state);
    showOptions(state);
    pairButton_->setEnabled(state.running);
    showInvitation(state);
    showDevices(state.devices);
}

void HostPanel::showReach(const HostPublished& state) {
    const bool hasAddresses = !state.addresses.empty();
    networkSymbol_->setPixmap(hasAddresses ? symbols_.networkOn : symbols_.networkOff);
    networkTitle_->setText(hasAddresses ? "Private network" : "No VPN on this computer");
    addressLine_->setVisible(hasAddresses);
    addressLine_->setText(joined(state.addresses, " \u00b7 "));

    const bool relayReady = state.relayStatus.kind == RelayStatus::Kind::ready;
    relaySymbol_->setPixmap(relayReady ? symbols_.globeOn : symbols_.globeOff);
    relayText_->setText(qs(PanelTexts::relayText(state.relayStatus, state.relayEnabled)));
    relaySwitch_->setChecked(state.relayEnabled);
    localNetworkSwitch_->setChecked(state.localNetworkEnabled);
}

void HostPanel::showOptions(const HostPublished& state) {
    const std::pair<bool, std::tuple<QLabel*, QLabel*, QLabel*>> rows[] = {
        {state.screenPermission, {screenSymbol_, screenAllowed_, screenAdvice_}},
        {state.accessibilityPermission, {inputSymbol_, inputAllowed_, inputAdvice_}},
    };
    for (const auto& [granted, labels] : rows) {
        const auto& [symbol, allowed, advice] = labels;
        symbol->setPixmap(granted ? symbols_.granted : symbols_.missing);
        allowed->setVisible(granted);
        advice->setVisible(!granted);
    }
    controlSwitch_->setChecked(state.controlEnabled);
    // A value given on the command line for this run only; the switch saves it when turned.
    controlRunOnly_->setVisible(!state.controlSaved);
    controlRunOnly_->setText(state.controlEnabled
                                 ? "Allowed for this run only; the saved setting is off."
                                 : "Off for this run only; the saved setting is on.");
    loginSwitch_->setChecked(state.loginEnabled);
    // Where the session cannot have a curtain, none comes, whatever the saved setting says.
    curtainSwitch_->setChecked(curtainAvailable_ && state.curtainEnabled);
}

void HostPanel::showInvitation(const HostPublished& state) {
    auto link = state.invitation ? InvitationLink::make(*state.invitation) : std::nullopt;
    if (link != shownLink_) {
        shownLink_ = link;
        qrCode_->setImage(link ? QrImage::make(*link) : QImage());
    }
    // No link, or a link too long for a code: no invitation section.
    invitationSection_->setVisible(link && !qrCode_->image().isNull());
}

void HostPanel::showDevices(const std::vector<TrustedDevice>& devices) {
    if (shownDevices_ == devices) return;
    shownDevices_ = devices;
    while (auto* item = devicesLayout_->takeAt(0)) {
        // Later: the row being taken away may hold the "Revoke" button whose click is
        // running now.
        item->widget()->hide();
        item->widget()->deleteLater();
        delete item;
    }
    if (devices.empty()) {
        devicesLayout_->addWidget(
            PanelStyle::label("Pair once. Your devices reconnect automatically afterward.",
                              Text::callout, PanelStyle::secondary(), true));
        return;
    }
    for (const auto& device : devices) devicesLayout_->addWidget(deviceRow(device));
}

QWidget* HostPanel::deviceRow(const TrustedDevice& device) {
    auto* widget = new QWidget;
    widget->setObjectName("deviceRow");
    auto* row = rowLayout(widget);
    auto* icon = symbolLabel(kSymbolSize);
    icon->setPixmap(symbol("ipad.and.iphone", PanelStyle::accent()));
    row->addWidget(icon, 0, Qt::AlignVCenter);
    auto* texts = new QWidget;
    auto* textColumn = column(texts, 1);
    auto* name = PanelStyle::label(qs(device.name), Text::body, PanelStyle::primary());
    name->setObjectName("deviceName");
    textColumn->addWidget(name);
    textColumn->addWidget(
        PanelStyle::label(dateText(device.pairedAt), Text::caption, PanelStyle::secondary()));
    row->addWidget(texts, 1);
    auto* revoke = PanelStyle::button("Revoke", Button::destructive);
    connect(revoke, &QPushButton::clicked, this,
            [this, id = device.id] { act([&] { controls_->revoke(id); }); });
    row->addWidget(revoke, 0, Qt::AlignVCenter);
    return widget;
}

}  // namespace caldrovex::platform
