#include "host/HostModel.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "host/InvitationLink.h"
#include "host/Invitations.h"
#include "platform/QueueAssert.h"
#include "trust/Uuid.h"

namespace caldrovex {

namespace {

// Settings keys in the user's defaults.
constexpr const char* kHostEnabled = "hostEnabled";
constexpr const char* kRelayEnabled = "relayEnabled";
constexpr const char* kLocalNetworkEnabled = "localNetworkEnabled";
constexpr const char* kControlEnabled = "controlEnabled";
constexpr const char* kCurtainEnabled = "curtainEnabled";

constexpr const char* kIdentityNotLoaded = "The host identity is not loaded.";
constexpr const char* kIdentityInactive = "TLS identity could not be activated.";
constexpr const char* kDefaultComputerName = "This computer";

}  // namespace

// ---- Creation and change notification ----

std::shared_ptr<HostModel> HostModel::create(HostEnvironment environment) {
    // A missing component is a wiring mistake of the caller, found at once rather than at
    // the first tick or connection.
    const auto& e = environment;
    if (!e.mainQueue || !e.clock || !e.makeQueue || !e.secrets || !e.settings || !e.permissions ||
        !e.privateAddresses || !e.makeListener || !e.makeRelayAgent || !e.input || !e.clipboard ||
        !e.power || !e.screen || !e.curtain || !e.localInput || !e.screenChanges)
        throw std::invalid_argument("HostModel needs every component of its environment");
    std::shared_ptr<HostModel> host(new HostModel(std::move(environment)));
    host->initialize();
    return host;
}

HostModel::HostModel(HostEnvironment environment)
    : environment_(std::move(environment)),
      store_(environment_.secrets),
      listeners_(DirectListeners::make(environment_.mainQueue, environment_.makeListener,
                                       environment_.makeQueue, port)),
      // The distant past: the first tick while sharing refreshes the addresses.
      lastAddressRefresh_(-1e300),
      admission_(*this, intake_, environment_.mainQueue, environment_.clock),
      capture_(CaptureControl::make(*this, environment_.mainQueue, environment_.screen,
                                    environment_.power, environment_.permissions)),
      curtain_(CurtainControl::make(*this, environment_.mainQueue,
                                    {environment_.curtain, environment_.localInput,
                                     environment_.screenChanges, environment_.screen})),
      relay_(RelayControl::make(*this,
                                {environment_.mainQueue, environment_.clock, environment_.makeQueue,
                                 environment_.makeListener, environment_.makeRelayAgent,
                                 environment_.bridgePath.string(), environment_.relay})) {}

HostModel::~HostModel() {
    // Listeners hold handlers that only reach this object weakly; close the sockets now.
    listeners_->closeAll();
    for (auto& connection : intake_.removeAll()) connection->cancel();
    if (session_) session_->channel()->cancel();
}

void HostModel::initialize() {
    ChangeScope scope(*this);
    listeners_->onConnection = [weak = weak()](platform::net::ConnectionPtr connection,
                                               const std::string& address) {
        if (auto self = weak.lock()) self->accept(std::move(connection), address);
    };
    listeners_->onChange = [weak = weak()] {
        if (auto self = weak.lock()) self->listenersChanged();
    };
    auto& settings = *environment_.settings;
    published_.relayEnabled = settings.boolean(kRelayEnabled).value_or(true);
    published_.localNetworkEnabled = settings.boolean(kLocalNetworkEnabled).value_or(false);
    published_.controlEnabled = settings.boolean(kControlEnabled).value_or(false);
    published_.curtainEnabled = settings.boolean(kCurtainEnabled).value_or(false);
    if (const auto& reason = curtain_->unavailable())
        published_.curtainUnavailable = reason->what();
    published_.loginEnabled = environment_.loginItemEnabled && environment_.loginItemEnabled();
    published_.screenPermission = environment_.permissions->screenRecording();
    published_.accessibilityPermission = environment_.permissions->accessibility();

    loadCredentials(false);
    scheduleTick();
    if (settings.boolean(kHostEnabled).value_or(false)) start();
}

void HostModel::beginChange() {
    // Everything the controller owns belongs to the main queue.
    platform::assertOnQueue(*environment_.mainQueue);
    if (changeDepth_++ == 0) changeStart_ = published_;
}

void HostModel::endChange() {
    if (--changeDepth_ != 0) return;
    auto before = std::exchange(changeStart_, std::nullopt);
    if (!before || *before == published_) return;
    // The callback may start another operation; that one takes its own snapshot.
    if (auto callback = onChange) callback();
}

void HostModel::scheduleTick() {
    environment_.mainQueue->postAfter(kTickSeconds, [weak = weak()] {
        auto self = weak.lock();
        if (!self) return;
        self->scheduleTick();
        self->tick();
    });
}

// ---- Credentials ----

void HostModel::loadCredentials(bool allowInteraction) {
    ChangeScope scope(*this);
    try {
        IdentityPasswordStore passwords{
            [store = store_](const std::string& account, bool interaction) {
                return store.read(account, interaction);
            },
            [store = store_](const std::string& account, const std::string& value) {
                store.write(value, account);
            }};
        auto identity = std::make_shared<const HostIdentity>(environment_.dataFolder, passwords,
                                                             allowInteraction);
        auto registry = std::make_shared<DeviceRegistry>(store_, environment_.clock,
                                                         identity->hostID(), allowInteraction);
        auto secret = RelayControl::loadSecret(store_, identity->hostID(), allowInteraction);
        relay_->setSecret(std::move(secret));
        identity_ = std::move(identity);
        registry_ = std::move(registry);
        setDevices(registry_->devices());
        published_.error.reset();
    } catch (const CaldrovexError& error) {
        published_.error = error.what();
    } catch (const std::system_error& error) {
        // Folder and file failures of the identity (std::filesystem_error is one of these).
        published_.error = error.what();
    }
}

// ---- Start, stop, listeners ----

void HostModel::start() {
    ChangeScope scope(*this);
    if (!identity_ || sharing_) return;
    environment_.settings->setBoolean(kHostEnabled, true);
    sharing_ = true;
    published_.error.reset();
    refreshListeners();
    relay_->restartRelay();
    updateStatus();
}

void HostModel::stop(bool preserveIntent) {
    ChangeScope scope(*this);
    if (!preserveIntent) environment_.settings->setBoolean(kHostEnabled, false);
    sharing_ = false;
    listeners_->closeAll();
    listenerNotice_.reset();
    published_.addresses.clear();
    relay_->stop();
    for (auto& connection : intake_.removeAll()) connection->cancel();
    endSession(true, false);
    published_.running = false;
    published_.status = HostPublished::kSharingOff;
    setInvitation(std::nullopt);
    admission_.forgetPairing();
}

void HostModel::setExplicitAddresses(std::vector<std::string> addresses) {
    ChangeScope scope(*this);
    explicitAddresses_ = std::move(addresses);
    refreshListeners();
}

std::vector<std::string> HostModel::addressesToServe() const {
    std::vector<std::string> addresses = explicitAddresses_;
    for (auto& address : environment_.privateAddresses(published_.localNetworkEnabled)) {
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
            addresses.push_back(address);
    }
    return addresses;
}

void HostModel::refreshListeners() {
    ChangeScope scope(*this);
    if (!sharing_) return;
    auto addresses = addressesToServe();
    if (addresses != published_.addresses) published_.addresses = addresses;
    listeners_->keepOnly(addresses);
    for (auto& address : addresses) {
        if (!listeners_->serves(address)) listen(address);
    }
    if (!relay_->hasBridge()) relay_->openBridge();
    listenersChanged();
}

platform::net::Parameters HostModel::listenerParameters() const {
    if (!identity_) throw CaldrovexError(kIdentityNotLoaded);
    const auto& tls = identity_->identity();
    if (tls.privateKeyPem.empty() || tls.certificatePem.empty())
        throw CaldrovexError(kIdentityInactive);
    platform::net::Parameters parameters;
    // No peer verification: a device proves itself by its token or the pairing secret.
    parameters.tls = platform::net::TlsOptions{tls, {}, {}};
    parameters.tcp.noDelay = true;
    parameters.tcp.enableKeepalive = true;
    return parameters;
}

void HostModel::listen(const std::string& address) {
    listeners_->open(address, [this] { return listenerParameters(); });
}

void HostModel::listenersChanged() {
    ChangeScope scope(*this);
    if (listeners_->anyReady()) published_.running = true;
    // A listener's failure or pause is shown until it is over, unless another error has
    // replaced it meanwhile.
    auto notice = listeners_->notice();
    if (notice != listenerNotice_) {
        if (notice)
            published_.error = notice;
        else if (published_.error == listenerNotice_)
            published_.error.reset();
        listenerNotice_ = notice;
    }
    updateStatus();
}

// ---- Intake ----

void HostModel::accept(platform::net::ConnectionPtr connection, const std::string& pool) {
    ChangeScope scope(*this);
    std::string id;
    try {
        id = Uuid::makeUpper();
    } catch (const std::system_error&) {
        // No random source, no id: the connection cannot be tracked, so it is refused.
        return connection->cancel();
    }
    auto admitted = intake_.admit(pool, connection->remoteEndpoint(), now());
    if (!admitted) return connection->cancel();
    if (admitted->displaced) {
        if (auto displaced = intake_.remove(*admitted->displaced)) displaced->cancel();
    }
    auto channel = PacketConnection::make(
        std::move(connection), environment_.makeQueue("caldrovex.transport"), environment_.clock);
    intake_.add(id, channel, {pool, admitted->peer});

    auto queue = environment_.mainQueue;
    std::weak_ptr<PacketConnection> weakChannel = channel;
    channel->onControl = [weak = weak(), queue, weakChannel, id](ControlMessage message) {
        queue->post([weak, weakChannel, id, message = std::move(message)] {
            auto self = weak.lock();
            auto channel = weakChannel.lock();
            if (self && channel) self->handle(message, channel, id);
        });
    };
    channel->onClose = [weak = weak(), queue, id](std::optional<std::string>) {
        queue->post([weak, id] {
            if (auto self = weak.lock()) self->connectionClosed(id);
        });
    };
    channel->start();
    queue->postAfter(ConnectionIntake::kFirstMessageSeconds, [weak = weak(), id] {
        if (auto self = weak.lock()) self->firstMessageDeadline(id);
    });
    queue->postAfter(ConnectionIntake::kAdmissionDeadlineSeconds, [weak = weak(), id] {
        if (auto self = weak.lock()) self->admissionDeadline(id);
    });
}

void HostModel::connectionClosed(const std::string& id) {
    ChangeScope scope(*this);
    intake_.remove(id);
    // The connection is closed already; the display stays warm for a quick return.
    if (session_ && session_->id() == id) endSession(false, true);
}

void HostModel::firstMessageDeadline(const std::string& id) {
    if (intake_.heard(id)) return;
    if (auto channel = intake_.remove(id)) channel->cancel();
}

void HostModel::admissionDeadline(const std::string& id) {
    if (auto channel = intake_.remove(id)) channel->cancel();
}

void HostModel::handle(const ControlMessage& message,
                       const std::shared_ptr<PacketConnection>& channel, const std::string& id) {
    ChangeScope scope(*this);
    intake_.markHeard(id);
    // Held here: the message may end the session it belongs to.
    if (auto session = session_; session && session->id() == id) return session->handle(message);
    // Until the credentials are loaded nobody can be admitted.
    if (!identity_ || !registry_) return;
    admission_.handle(message, channel, id, {*identity_, *registry_});
}

// ---- The session ----

void HostModel::beginSession(std::shared_ptr<PacketConnection> channel, const std::string& id,
                             const std::string& deviceID, const std::set<std::string>& features) {
    capture_->deviceAdmitted(deviceID);
    Session::Desktop desktop{environment_.input, environment_.clipboard, environment_.power,
                             environment_.clock};
    HostController& controller = *this;
    session_ = std::make_shared<Session>(controller, *capture_, std::move(desktop),
                                         std::move(channel), id, deviceID, features);
    const auto& devices = registry_->devices();
    auto device = std::find_if(devices.begin(), devices.end(),
                               [&](const TrustedDevice& d) { return d.id == deviceID; });
    published_.activeDevice =
        device == devices.end() ? std::nullopt : std::make_optional(device->name);
    published_.status = "Connected to " + published_.activeDevice.value_or("your device");
}

void HostModel::endSession(bool cancelConnection, bool keepCaptureWarm) {
    ChangeScope scope(*this);
    // From here on there is no session, also for whatever its end sets off.
    if (auto session = std::exchange(session_, nullptr)) {
        session->end(cancelConnection, keepCaptureWarm);
    } else {
        capture_->sessionEnded(std::nullopt, keepCaptureWarm);
        environment_.input->releaseAll();
    }
    // With no session the curtain goes, and one lifted at this computer may come back for the
    // next session.
    curtain_->sessionEnded();
    published_.activeDevice.reset();
    if (!published_.running) return;
    if (capture_->warmDeviceID())
        published_.status = CaptureControl::kWarmHoldStatus;
    else
        updateStatus();
}

std::optional<std::string> HostModel::activeDeviceID() const {
    if (!session_) return std::nullopt;
    return session_->deviceID();
}

bool HostModel::controlPermitted() const {
    return published_.controlEnabled && session_ && session_->streamReady() &&
           environment_.permissions->accessibility();
}

// ---- Invitations ----

void HostModel::makeInvitation() {
    ChangeScope scope(*this);
    auto relay = relay_->offer();
    // With no road at all, sharing is on but nothing runs: the invitation below says why.
    const bool road = !published_.addresses.empty() || relay;
    if (!sharing_ || !identity_ || (road && !published_.running)) {
        published_.error = Invitations::kSharingOff;
        return;
    }
    admission_.forgetPairing();
    try {
        // Replacing the invitation voids the earlier one; the relay learns the new key.
        setInvitation(
            Invitations::make({*identity_, computerName(), published_.addresses, port, relay,
                               relay_->unavailableReason(), environment_.clock->wall()}));
    } catch (const CaldrovexError& error) {
        published_.error = error.what();
    }
}

void HostModel::shareInvitation(const std::shared_ptr<PacketConnection>& channel) {
    if (!controlPermitted()) return Session::notice(*channel, Invitations::kInviteNotAllowed);
    makeInvitation();
    const auto& invitation = published_.invitation;
    auto link = invitation ? InvitationLink::make(*invitation) : std::nullopt;
    if (link) {
        auto reply = ControlMessage::make("invitation");
        reply.text = *link;
        channel->send(reply);
        return;
    }
    const auto& error = published_.error;
    Session::notice(*channel, error && !error->empty() ? *error : Invitations::kNoCode);
}

void HostModel::revoke(const std::string& deviceID) {
    ChangeScope scope(*this);
    if (registry_) {
        try {
            registry_->revoke(deviceID);
        } catch (const CaldrovexError& error) {
            // The list shown below is refreshed from the registry, which kept the device.
            published_.error = error.what();
        }
    }
    setDevices(registry_ ? registry_->devices() : std::vector<TrustedDevice>{});
    admission_.forgetPairingOf(deviceID);
    if (activeDeviceID() == deviceID) endSession(true, false);
}

void HostModel::devicePaired() {
    // Single use: the invitation is spent.
    setInvitation(std::nullopt);
    setDevices(registry_->devices());
}

void HostModel::connectionRefused(const std::string& peer, const std::string& reason) {
    // A copy: the callback may replace itself.
    if (auto callback = onRefusal) callback(peer, reason);
}

// ---- What devices are told about the host ----

std::string HostModel::computerName() const {
    auto name = environment_.computerName ? environment_.computerName() : std::nullopt;
    return name && !name->empty() ? *name : kDefaultComputerName;
}

void HostModel::addRelayFields(ControlMessage& message, const std::string& deviceID) const {
    relay_->addRelayFields(message, deviceID);
}

void HostModel::setInvitation(std::optional<PairingInvitation> invitation) {
    published_.invitation = std::move(invitation);
    syncRelayKeys();
}

void HostModel::setDevices(std::vector<TrustedDevice> devices) {
    published_.devices = std::move(devices);
    syncRelayKeys();
}

// ---- Tick and status ----

void HostModel::tick() {
    ChangeScope scope(*this);
    published_.screenPermission = environment_.permissions->screenRecording();
    published_.accessibilityPermission = environment_.permissions->accessibility();
    if (published_.invitation && published_.invitation->expiresAt <= environment_.clock->wall())
        setInvitation(std::nullopt);
    admission_.forgetExpiredPairing();
    intake_.forgetOldAttempts(now());
    if (session_ && now() - session_->lastMessage() > kSessionSilenceSeconds)
        endSession(true, true);
    if (sharing_) {
        if (now() - lastAddressRefresh_ > kAddressRefreshSeconds) {
            lastAddressRefresh_ = now();
            refreshListeners();
        }
        return;
    }
    // A keyring that was not there at start-up (no Secret Service yet) is picked up here.
    if (!identity_) loadCredentials(false);
    if (identity_ && environment_.settings->boolean(kHostEnabled).value_or(false)) start();
}

void HostModel::updateStatus() {
    ChangeScope scope(*this);
    if (!sharing_) return;
    const auto& p = published_;
    bool relayReady = p.relayStatus.kind == RelayStatus::Kind::ready;
    // The private network counts once a listener is ready on it, not while binding or after
    // binding failed.
    bool listening = listeners_->anyReady();
    auto failed = listeners_->failedAddress();
    if (p.activeDevice) published_.status = "Connected to " + *p.activeDevice;
    // A held display keeps its sentence until the hold ends, even when the listeners or the
    // relay change meanwhile.
    else if (capture_->warmDeviceID())
        published_.status = CaptureControl::kWarmHoldStatus;
    else if (listening && relayReady)
        published_.status = "Ready · private network and Orvelo Connect";
    else if (listening)
        published_.status = "Ready on your private network";
    else if (relayReady)
        published_.status = "Ready · reachable anywhere with Orvelo Connect";
    else if (p.relayEnabled && p.relayStatus.kind == RelayStatus::Kind::idle)
        published_.status = "Ready to pair a device";
    else if (failed)
        published_.status = "Cannot listen on " + *failed;
    // Not "connecting" while nothing is on its way: the reason tells what to do about it.
    else if (p.relayEnabled && p.relayStatus.kind == RelayStatus::Kind::unreachable)
        published_.status = "Orvelo Connect is not reachable. " + p.relayStatus.message;
    else if (!p.addresses.empty())
        published_.status = "Starting on your private network…";
    else if (p.relayEnabled)
        published_.status = "Connecting to Orvelo Connect…";
    else
        published_.status = "Waiting for a VPN such as Tailscale";
}

// ---- Settings ----

void HostModel::setRelayEnabled(bool enabled) {
    ChangeScope scope(*this);
    published_.relayEnabled = enabled;
    environment_.settings->setBoolean(kRelayEnabled, enabled);
    relay_->restartRelay();
}

void HostModel::setLocalNetworkEnabled(bool enabled) {
    ChangeScope scope(*this);
    published_.localNetworkEnabled = enabled;
    environment_.settings->setBoolean(kLocalNetworkEnabled, enabled);
    if (sharing_) refreshListeners();
}

void HostModel::setControlEnabled(bool enabled, bool persist) {
    ChangeScope scope(*this);
    published_.controlEnabled = enabled;
    if (persist) environment_.settings->setBoolean(kControlEnabled, enabled);
    published_.controlSaved =
        environment_.settings->boolean(kControlEnabled).value_or(false) == enabled;
    if (!enabled) environment_.input->releaseAll();
    if (session_) {
        auto message = ControlMessage::make("permissions");
        message.controlAllowed = controlPermitted();
        session_->channel()->send(message);
    }
}

void HostModel::setCurtainEnabled(bool enabled) {
    ChangeScope scope(*this);
    published_.curtainEnabled = enabled;
    environment_.settings->setBoolean(kCurtainEnabled, enabled);
    curtain_->applyCurtain();
}

// ---- The relay road ----

void HostModel::relayStatusChanged(RelayStatus status) {
    ChangeScope scope(*this);
    published_.relayStatus = std::move(status);
    updateStatus();
}

void HostModel::syncRelayKeys() {
    relay_->syncRelayKeys();
}

std::optional<std::string> HostModel::recentPairingHash() const {
    const auto& pairing = admission_.recentPairing();
    if (!pairing || pairing->expiresAt <= now()) return std::nullopt;
    return pairing->secretHash;
}

void HostModel::bridgeReady() {
    published_.running = true;
    updateStatus();
}

void HostModel::showError(const std::string& text) {
    published_.error = text;
}

void HostModel::setLogin(bool enabled) {
    ChangeScope scope(*this);
    if (!environment_.setLoginItem) return;
    try {
        environment_.setLoginItem(enabled);
    } catch (const CaldrovexError& error) {
        published_.error = error.what();
        return;
    }
    published_.loginEnabled = environment_.loginItemEnabled && environment_.loginItemEnabled();
}

void HostModel::cancelInvitation() {
    ChangeScope scope(*this);
    setInvitation(std::nullopt);
}

std::optional<std::string> HostModel::certificateHash() const {
    if (!identity_) return std::nullopt;
    return identity_->certificateHash();
}

// ---- Test view ----

HostModel::DebugState HostModel::debugState() const {
    DebugState state;
    state.identity = identity_;
    state.registry = registry_;
    state.relaySecret = relay_->secret();
    state.relay = relay_->debugState();
    state.relayKeys = relay_->relayKeys();
    state.listeners = listeners_->listeners();
    state.pendingPeers = intake_.pendingPeers();
    state.attempts = intake_.attempts();
    state.recentPairing = admission_.recentPairing();
    if (session_) {
        state.activeConnection = session_->channel();
        state.activeID = session_->id();
        state.activeFeatures = session_->features();
        state.streamReady = session_->streamReady();
        state.sessionEpoch = session_->epoch();
    }
    state.capture = capture_->capture();
    state.warmDeviceID = capture_->warmDeviceID();
    state.curtain = curtain_->debugState();
    return state;
}

}  // namespace caldrovex
