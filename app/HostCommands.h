#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CommandReply.h"
#include "app/StatusPrinter.h"
#include "host/HostModel.h"

namespace caldrovex {

// The host's commands, the same whether typed on the headless host's standard input or sent
// by a later `caldrovex-host COMMAND` through the command socket:
//
//   pair            make a pairing invitation; answer its link, expiry and QR code
//   status          every field of the status (StatusPrinter::describe)
//   devices         the paired devices: id, pairing date, last seen in this run, name
//   revoke ID       remove a paired device
//   control on|off  allow or forbid remote control (saved, as the panel's switch)
//   curtain on|off  dim this computer's screen during sessions, or not (saved); answers
//                   "unavailable (<why>)" where it cannot work
//   help            list the commands
//   quit            stop sharing (keeping the intent) and end the host
//
// Main thread only, like the controller.
class HostCommands {
public:
    static constexpr const char* kCommands =
        "pair, devices, revoke ID, status, control on|off, curtain on|off, help, quit";

    HostCommands(std::shared_ptr<HostModel> host, StatusPrinter::Facts facts);

    // The words of a typed line.
    static std::vector<std::string> split(const std::string& line);
    // Why `words` is not a command, or nullopt when it is one.
    static std::optional<std::string> check(const std::vector<std::string>& words);

    // Runs one command. Sets `quit` for "quit", after sharing stopped.
    CommandReply run(const std::vector<std::string>& words);
    // Notes which device holds the session, for "devices"; call on every change.
    void hostChanged();

private:
    void pair(CommandReply& reply);
    void listDevices(CommandReply& reply);
    void revoke(const std::string& id, CommandReply& reply);

    std::shared_ptr<HostModel> host_;
    StatusPrinter::Facts facts_;
    // When each device last held a session during this run; the registry keeps only the
    // pairing date.
    std::map<std::string, std::chrono::system_clock::time_point> lastSeen_;
    std::optional<std::string> sessionDevice_;
};

}  // namespace caldrovex
