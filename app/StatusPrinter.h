#pragma once

#include <filesystem>
#include <optional>

#include "app/CommandReply.h"
#include "host/HostModel.h"
#include "host/HostPublished.h"

namespace caldrovex {

// Describes the host's state in "key: value" lines: all of it for the "status" command, or
// what changed since the last look for the log (see Console). Change lines:
//
//   status: <sentence>             running: yes|no          addresses: <a>, <b> | none
//   relay: <the panel's relay line>                         session: <device> | none
//   paired: <id> <name>            (a device joined the list)           devices: <count>
//   screen capture: yes|no         input injection: yes|no  remote control: on|off (…)
//   curtain: on|off|unavailable (<why>)   (in "status" only)
//   local network: on|off          error: <sentence>        (a new failure; a cleared one prints
//   nothing) invitation: open until <UTC date> | none
//
// The pairing link itself carries the pairing secret: it is printed only as the answer to
// "pair" (`invitation`), never as a change. Main thread only.
class StatusPrinter {
public:
    // Where things live, for the status report.
    struct Facts {
        std::filesystem::path dataFolder;
        std::filesystem::path settingsFile;
    };

    // Every field, for "status".
    static void describe(const HostModel& host, const Facts& facts, CommandReply& reply);
    // The fields that differ from the last state seen (everything the first time), and
    // remembers `state`.
    void changes(const HostPublished& state, CommandReply& reply);

    // The link, its expiry and the QR code.
    static void invitation(const PairingInvitation& invitation, CommandReply& reply);
    // "on (saved)", "on (this run only; the saved setting is off)", …
    static std::string control(const HostPublished& state);
    // The curtain setting as shown: "on", "off", or "unavailable (<why>)".
    static std::string curtainText(const HostPublished& state);

private:
    std::optional<HostPublished> last_;
};

}  // namespace caldrovex
