#include "app/HostCommands.h"

#include <algorithm>
#include <sstream>

#include "app/Console.h"
#include "host/Invitations.h"

namespace caldrovex {

namespace {

bool known(const std::vector<TrustedDevice>& devices, const std::string& id) {
    return std::any_of(devices.begin(), devices.end(),
                       [&](const TrustedDevice& device) { return device.id == id; });
}

}  // namespace

HostCommands::HostCommands(std::shared_ptr<HostModel> host, StatusPrinter::Facts facts)
    : host_(std::move(host)), facts_(std::move(facts)) {}

std::vector<std::string> HostCommands::split(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;) words.push_back(word);
    return words;
}

std::optional<std::string> HostCommands::check(const std::vector<std::string>& words) {
    if (words.empty()) return "No command given.";
    const std::string& word = words[0];
    if (word == "revoke") {
        if (words.size() != 2) return "Usage: revoke ID (see \"devices\").";
        return std::nullopt;
    }
    if (word == "control" || word == "curtain") {
        if (words.size() != 2 || (words[1] != "on" && words[1] != "off"))
            return "Usage: " + word + " on|off";
        return std::nullopt;
    }
    if (word != "pair" && word != "devices" && word != "status" && word != "quit" && word != "help")
        return "Unknown command \"" + word + "\". Commands: " + kCommands + ".";
    if (words.size() > 1) return "The command \"" + word + "\" takes no argument.";
    return std::nullopt;
}

CommandReply HostCommands::run(const std::vector<std::string>& words) {
    CommandReply reply;
    if (auto problem = check(words)) {
        reply.error(*problem);
        return reply;
    }
    const std::string& word = words[0];
    if (word == "pair") {
        pair(reply);
    } else if (word == "devices") {
        listDevices(reply);
    } else if (word == "revoke") {
        revoke(words[1], reply);
    } else if (word == "control") {
        host_->setControlEnabled(words[1] == "on");
        reply.field("remote control", StatusPrinter::control(host_->published()));
    } else if (word == "curtain") {
        host_->setCurtainEnabled(words[1] == "on");
        reply.field("curtain", StatusPrinter::curtainText(host_->published()));
    } else if (word == "status") {
        StatusPrinter::describe(*host_, facts_, reply);
    } else if (word == "help") {
        reply.field("commands", kCommands);
    } else if (word == "quit") {
        host_->stop(true);
        reply.field("quit", "sharing stopped");
        reply.quit = true;
    }
    return reply;
}

void HostCommands::hostChanged() {
    const auto& current = host_->activeDeviceID();
    if (current == sessionDevice_) return;
    const auto now = std::chrono::system_clock::now();
    // Seen at the start of a session and again at its end.
    if (sessionDevice_) lastSeen_[*sessionDevice_] = now;
    if (current) lastSeen_[*current] = now;
    sessionDevice_ = current;
}

void HostCommands::pair(CommandReply& reply) {
    const auto before = host_->published().invitation;
    host_->makeInvitation();
    const auto& after = host_->published();
    if (after.invitation && after.invitation != before)
        return StatusPrinter::invitation(*after.invitation, reply);
    reply.error(after.error.value_or(Invitations::kNoCode));
}

void HostCommands::listDevices(CommandReply& reply) {
    const auto& devices = host_->published().devices;
    reply.field("devices", std::to_string(devices.size()));
    for (const auto& device : devices) {
        auto seen = lastSeen_.find(device.id);
        const std::string lastSeen = seen == lastSeen_.end() ? "never" : Console::utc(seen->second);
        // The name last: it may hold blanks. The id is a UUID (checked at admission).
        reply.field("device", device.id + " paired=" + Console::utc(device.pairedAt) +
                                  " last-seen=" + lastSeen + " name=" + device.name);
    }
}

void HostCommands::revoke(const std::string& id, CommandReply& reply) {
    if (!known(host_->published().devices, id))
        return reply.error("No paired device has the id \"" + id + "\".");
    host_->revoke(id);
    // A failed keyring write keeps the device and publishes why.
    if (known(host_->published().devices, id))
        return reply.error(host_->published().error.value_or("The device could not be removed."));
    lastSeen_.erase(id);
    reply.field("revoked", id);
}

}  // namespace caldrovex
