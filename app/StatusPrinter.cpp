#include "app/StatusPrinter.h"

#include <algorithm>

#include "adapters/qt/PanelTexts.h"
#include "app/Console.h"
#include "app/TerminalQrCode.h"
#include "host/InvitationLink.h"

namespace caldrovex {

namespace {

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

const char* onOff(bool value) {
    return value ? "on" : "off";
}

std::string joined(const std::vector<std::string>& addresses) {
    if (addresses.empty()) return "none";
    std::string text;
    for (const auto& address : addresses) {
        if (!text.empty()) text += ", ";
        text += address;
    }
    return text;
}

std::string relayLine(const HostPublished& state) {
    return platform::PanelTexts::relayText(state.relayStatus, state.relayEnabled);
}

std::string invitationLine(const std::optional<PairingInvitation>& invitation) {
    return invitation ? "open until " + Console::utc(invitation->expiresAt) : "none";
}

bool listed(const std::vector<TrustedDevice>& devices, const std::string& id) {
    return std::any_of(devices.begin(), devices.end(),
                       [&](const TrustedDevice& device) { return device.id == id; });
}

}  // namespace

std::string StatusPrinter::control(const HostPublished& state) {
    if (state.controlSaved) return std::string(onOff(state.controlEnabled)) + " (saved)";
    return std::string(onOff(state.controlEnabled)) + " (this run only; the saved setting is " +
           onOff(!state.controlEnabled) + ")";
}

void StatusPrinter::describe(const HostModel& host, const Facts& facts, CommandReply& reply) {
    const HostPublished& state = host.published();
    reply.field("status", state.status);
    reply.field("sharing", onOff(host.sharing()));
    reply.field("running", yesNo(state.running));
    reply.field("addresses", joined(state.addresses));
    reply.field("port", std::to_string(HostModel::port) + "/tcp");
    reply.field("relay", relayLine(state));
    reply.field("local network", onOff(state.localNetworkEnabled));
    reply.field("remote control", control(state));
    reply.field("session", state.activeDevice.value_or("none"));
    reply.field("devices", std::to_string(state.devices.size()));
    reply.field("invitation", invitationLine(state.invitation));
    reply.field("screen capture", yesNo(state.screenPermission));
    reply.field("input injection", yesNo(state.accessibilityPermission));
    reply.field("open at login", onOff(state.loginEnabled));
    reply.field("curtain", curtainText(state));
    const auto hash = host.certificateHash();
    reply.field("certificate", hash ? "sha256 " + *hash : "not loaded");
    reply.field("data folder", facts.dataFolder.string());
    reply.field("settings file", facts.settingsFile.string());
    if (state.error) reply.field("error", *state.error);
}

void StatusPrinter::changes(const HostPublished& state, CommandReply& reply) {
    const HostPublished before = last_.value_or(HostPublished{});
    const bool first = !last_;
    last_ = state;
    auto changed = [first](const auto& now, const auto& then) { return first || now != then; };
    if (changed(state.running, before.running)) reply.field("running", yesNo(state.running));
    if (changed(state.addresses, before.addresses))
        reply.field("addresses", joined(state.addresses));
    if (changed(state.relayStatus, before.relayStatus) ||
        changed(state.relayEnabled, before.relayEnabled))
        reply.field("relay", relayLine(state));
    if (changed(state.localNetworkEnabled, before.localNetworkEnabled))
        reply.field("local network", onOff(state.localNetworkEnabled));
    if (changed(state.controlEnabled, before.controlEnabled) ||
        changed(state.controlSaved, before.controlSaved))
        reply.field("remote control", control(state));
    for (const auto& device : state.devices) {
        if (!first && !listed(before.devices, device.id))
            reply.field("paired", device.id + " " + device.name);
    }
    if (changed(state.devices, before.devices))
        reply.field("devices", std::to_string(state.devices.size()));
    if (changed(state.activeDevice, before.activeDevice))
        reply.field("session", state.activeDevice.value_or("none"));
    if (changed(state.screenPermission, before.screenPermission))
        reply.field("screen capture", yesNo(state.screenPermission));
    if (changed(state.accessibilityPermission, before.accessibilityPermission))
        reply.field("input injection", yesNo(state.accessibilityPermission));
    if (state.error && changed(state.error, before.error)) reply.field("error", *state.error);
    if (!first && state.invitation != before.invitation)
        reply.field("invitation", invitationLine(state.invitation));
    // Last, so a script that waits for a status sentence has seen what led to it.
    if (changed(state.status, before.status)) reply.field("status", state.status);
}

void StatusPrinter::invitation(const PairingInvitation& invitation, CommandReply& reply) {
    auto link = InvitationLink::make(invitation);
    if (!link) return reply.error("The pairing link could not be encoded.");
    reply.field("link", *link);
    reply.field("expires", Console::utc(invitation.expiresAt));
    auto rows = TerminalQrCode::render(*link);
    if (!rows) return reply.error("The pairing link is too long for a QR code.");
    for (auto& row : *rows) reply.row(std::move(row));
}

std::string StatusPrinter::curtainText(const HostPublished& state) {
    // Where it cannot work, "on" would promise what never shows.
    if (state.curtainUnavailable) return "unavailable (" + *state.curtainUnavailable + ")";
    return state.curtainEnabled ? "on" : "off";
}

}  // namespace caldrovex
