#include "app/StatusPrinter.h"

#include <algorithm>

#include "app/Console.h"
#include "app/TerminalQrCode.h"
#include "host/InvitationLink.h"

namespace caldrovex {

namespace {

const char* yesNo(bool value) {
    return value ? "yes" : "no";
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

std::string relayText(const RelayStatus& status) {
    switch (status.kind) {
        case RelayStatus::Kind::off:
            return "off";
        case RelayStatus::Kind::idle:
            return "idle";
        case RelayStatus::Kind::connecting:
            return "connecting";
        case RelayStatus::Kind::ready:
            return "ready";
        case RelayStatus::Kind::unreachable:
            return "unreachable (" + status.message + ")";
    }
    return "?";
}

bool listed(const std::vector<TrustedDevice>& devices, const std::string& id) {
    return std::any_of(devices.begin(), devices.end(),
                       [&](const TrustedDevice& device) { return device.id == id; });
}

}  // namespace

void StatusPrinter::printAll(const HostPublished& state, bool sharing) {
    Console::field("status", state.status);
    Console::field("sharing", sharing ? "on" : "off");
    Console::field("running", yesNo(state.running));
    Console::field("addresses", joined(state.addresses));
    Console::field("relay", relayText(state.relayStatus));
    Console::field("session", state.activeDevice.value_or("none"));
    Console::field("devices", std::to_string(state.devices.size()));
    Console::field("screen recording", yesNo(state.screenPermission));
    Console::field("input injection", yesNo(state.accessibilityPermission));
    if (state.error) printError(*state.error);
    if (state.invitation) printInvitation(*state.invitation, false);
    last_ = state;
}

void StatusPrinter::printChanges(const HostPublished& state) {
    const HostPublished before = last_.value_or(HostPublished{});
    last_ = state;
    if (state.running != before.running) Console::field("running", yesNo(state.running));
    if (state.addresses != before.addresses) Console::field("addresses", joined(state.addresses));
    if (state.relayStatus != before.relayStatus)
        Console::field("relay", relayText(state.relayStatus));
    for (const auto& device : state.devices) {
        if (!listed(before.devices, device.id))
            Console::field("paired", device.id + " " + device.name);
    }
    if (state.devices != before.devices)
        Console::field("devices", std::to_string(state.devices.size()));
    if (state.activeDevice != before.activeDevice)
        Console::field("session", state.activeDevice.value_or("none"));
    if (state.screenPermission != before.screenPermission)
        Console::field("screen recording", yesNo(state.screenPermission));
    if (state.accessibilityPermission != before.accessibilityPermission)
        Console::field("input injection", yesNo(state.accessibilityPermission));
    if (state.error && state.error != before.error) printError(*state.error);
    if (state.invitation != before.invitation) {
        if (state.invitation)
            printInvitation(*state.invitation, true);
        else
            Console::field("invitation", "none");
    }
    // Last, so a script that waits for a status sentence has seen what led to it.
    if (state.status != before.status) Console::field("status", state.status);
}

void StatusPrinter::printInvitation(const PairingInvitation& invitation, bool qr) {
    auto link = InvitationLink::make(invitation);
    if (!link) return printError("The pairing link could not be encoded.");
    Console::field("link", *link);
    Console::field("expires", Console::utc(invitation.expiresAt));
    if (!qr) return;
    auto rows = TerminalQrCode::render(*link);
    if (!rows) return printError("The pairing link is too long for a QR code.");
    for (const auto& row : *rows) Console::raw(row);
}

void StatusPrinter::printError(const std::string& error) {
    Console::field("error", error);
}

}  // namespace caldrovex
