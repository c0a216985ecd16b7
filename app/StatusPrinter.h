#pragma once

#include <optional>

#include "host/HostPublished.h"

namespace caldrovex {

// Prints what changed in the host's published state, one "key: value" line per field (see
// Console), so the headless host reports status changes and errors as they happen:
//
//   status: <sentence>             running: yes|no          addresses: <a>, <b> | none
//   relay: <state>                 session: <device> | none devices: <count>
//   paired: <id> <name>            (a device joined the list)
//   screen recording: yes|no       input injection: yes|no
//   curtain: on|off|unavailable (<why>)   (in the full report only)
//   error: <sentence>              (a new failure; a cleared error prints nothing)
//   link: orvelo://pair?data=…     expires: <UTC date>, then the QR code's rows
//   invitation: none               (the open invitation was used, expired or withdrawn)
//
// Main thread only.
class StatusPrinter {
public:
    // Prints every field of `state` (the start-up report and the "status" command), and
    // remembers it as the last state seen.
    void printAll(const HostPublished& state, bool sharing);
    // Prints the fields that differ from the last state seen.
    void printChanges(const HostPublished& state);

    // The link and its expiry; with `qr` also the QR code.
    static void printInvitation(const PairingInvitation& invitation, bool qr);
    static void printError(const std::string& error);
    // The curtain setting as shown: "on", "off", or "unavailable (<why>)".
    static std::string curtainText(const HostPublished& state);

private:
    std::optional<HostPublished> last_;
};

}  // namespace caldrovex
