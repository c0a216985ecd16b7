#include "tools/device/DeviceCommands.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "host/InvitationLink.h"
#include "platform/AsioMainQueue.h"
#include "platform/CaldrovexError.h"
#include "platform/Clock.h"
#include "reach/RelayEndpoint.h"
#include "tools/device/DeviceLogin.h"
#include "tools/device/DeviceState.h"
#include "tools/device/StreamViewer.h"
#include "trust/Uuid.h"

namespace caldrovex::device {

namespace {

void remark(const std::string& text) {
    std::fprintf(stderr, "caldrovex-device: %s\n", text.c_str());
}

void printReply(const ControlMessage& message) {
    std::string line;
    try {
        line = message.encode();
    } catch (const CaldrovexError&) {
        // Received messages decoded from valid JSON, so they encode again; just in case.
        line = "{\"type\":\"undecodable\"}";
    }
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

void appendUnique(std::vector<std::string>& list, const std::string& address) {
    if (!address.empty() && std::find(list.begin(), list.end(), address) == list.end())
        list.push_back(address);
}

// The roads to the host: its addresses, then the relay it named (with this device's
// rendezvous value), pinned when a relay hash was given. Nullopt, after a remark, when no
// road is left.
std::optional<DeviceClient::Target> targetOf(const DeviceState& state,
                                             const DeviceOptions& options) {
    DeviceClient::Target target{state.addresses, state.port, state.certificateHash, std::nullopt,
                                options.relayOnly};
    if (state.relay && state.relayKey) {
        try {
            auto endpoint = RelayEndpoint::parse(*state.relay);
            if (auto pin = options.relayPin ? options.relayPin : state.relayCertificateHash)
                endpoint.pinnedCertificateHash = *pin;
            target.relay = DeviceClient::RelayRoad{std::move(endpoint), *state.relayKey};
        } catch (const CaldrovexError& error) {
            remark(error.what());
        }
    }
    if (options.relayOnly && !target.relay) {
        remark("the host named no relay for this device");
        return std::nullopt;
    }
    if (target.addresses.empty() && !target.relay) {
        remark("the host named no address and no relay to connect to");
        return std::nullopt;
    }
    return target;
}

int statusFor(const LoginOutcome& outcome) {
    switch (outcome.kind) {
        case LoginOutcome::Kind::admitted:
            return kSuccess;
        case LoginOutcome::Kind::busy:
        case LoginOutcome::Kind::refused:
            return kRefused;
        case LoginOutcome::Kind::certificateMismatch:
            return kCertificateMismatch;
        case LoginOutcome::Kind::unreachable:
        case LoginOutcome::Kind::closed:
        case LoginOutcome::Kind::timedOut:
            return kUnreachable;
    }
    return kUnreachable;
}

// One admission run on a main queue of its own. `admitted` decides the exit status once the
// host said "hello"; the device then says "disconnect" and waits for the connection to end.
struct Run {
    using Admitted = std::function<int(const ControlMessage& hello)>;

    // Shared: the network layer keeps posting results to it until its connections are gone,
    // which may be after this run returned.
    std::shared_ptr<platform::AsioMainQueue> queue = std::make_shared<platform::AsioMainQueue>();
    int status = kUnreachable;

    int execute(DeviceClient::Target target, ControlMessage request, double timeoutSeconds,
                std::function<void(const ControlMessage&)> paired, Admitted admitted,
                std::function<int(const LoginOutcome&)> otherwise) {
        auto client = DeviceClient::make(queue, platform::SystemClock::shared());
        auto login = DeviceLogin::make(queue, client);
        login->onReply = printReply;
        login->onConnected = [](const std::string& address) { remark("connected to " + address); };
        login->onPaired = std::move(paired);
        login->onOutcome = [&, client](LoginOutcome outcome) {
            if (outcome.kind != LoginOutcome::Kind::admitted) {
                if (!outcome.message.empty()) remark(outcome.message);
                status = otherwise(outcome);
                return queue->stop();
            }
            status = admitted(*outcome.reply);
            // "disconnect" ends the session without the host holding the display for us;
            // the finish closes the connection once it is written (0.5 s at most).
            client->onMessage = printReply;
            client->onClosed = [this](std::optional<std::string>) { queue->stop(); };
            client->channel()->finish(ControlMessage::make("disconnect"));
        };
        login->start(std::move(target), std::move(request), timeoutSeconds);
        queue->run();
        client->cancel();
        queue->close();
        return status;
    }
};

}  // namespace

int DeviceCommands::pair(const DeviceOptions& options) {
    auto invitation = InvitationLink::read(options.link);
    if (!invitation) {
        remark("this is not a valid pairing link (orvelo://pair?data=...)");
        return kUsage;
    }
    try {
        DeviceState::checkWritable(options.stateFile);
    } catch (const std::runtime_error& error) {
        remark(error.what());
        return kStateFile;
    }
    DeviceState state;
    try {
        state.deviceID = Uuid::makeUpper();
    } catch (const std::system_error& error) {
        remark(std::string("no device id: ") + error.what());
        return kUnreachable;
    }
    state.deviceName = options.deviceName;
    state.hostID = invitation->hostID;
    state.hostName = invitation->name;
    appendUnique(state.addresses, invitation->address);
    for (const auto& address : invitation->addresses.value_or(std::vector<std::string>{}))
        appendUnique(state.addresses, address);
    state.port = invitation->port;
    state.certificateHash = invitation->certificateHash;
    state.relay = invitation->relay;
    state.relayKey = invitation->relayKey;
    state.relayCertificateHash = options.relayPin;
    const auto target = targetOf(state, options);
    if (!target) return kUnreachable;

    auto request = ControlMessage::make("pair");
    request.deviceID = state.deviceID;
    request.hostID = state.hostID;
    request.secret = invitation->secret;
    request.deviceName = state.deviceName;
    if (options.takeover) request.takeover = true;

    bool stored = false;
    bool storeFailed = false;
    auto paired = [&](const ControlMessage& message) {
        if (!message.token) return;
        state.token = *message.token;
        if (message.name) state.hostName = *message.name;
        // From now on the device's own rendezvous value, no longer the invitation's.
        state.relay = message.relay;
        state.relayKey = message.relayKey;
        try {
            state.save(options.stateFile);
            stored = true;
            remark("paired; state stored in " + options.stateFile.string());
        } catch (const std::runtime_error& error) {
            storeFailed = true;
            remark(error.what());
        }
    };
    auto admitted = [&](const ControlMessage& hello) {
        if (storeFailed) return int(kStateFile);
        if (!stored) {
            remark("the host admitted the device without pairing it");
            return int(kRefused);
        }
        // The host's current addresses, after the invitation's.
        for (const auto& address : hello.addresses.value_or(std::vector<std::string>{}))
            appendUnique(state.addresses, address);
        try {
            state.save(options.stateFile);
        } catch (const std::runtime_error& error) {
            remark(error.what());
            return int(kStateFile);
        }
        return int(kSuccess);
    };
    auto otherwise = [&](const LoginOutcome& outcome) {
        if (storeFailed) return int(kStateFile);
        // Paired, though another device holds the session: the pairing itself succeeded.
        if (stored && outcome.kind == LoginOutcome::Kind::busy) return int(kSuccess);
        return statusFor(outcome);
    };
    Run run;
    return run.execute(*target, std::move(request), options.timeoutSeconds, paired, admitted,
                       otherwise);
}

int DeviceCommands::connect(const DeviceOptions& options) {
    DeviceState state;
    try {
        state = DeviceState::load(options.stateFile);
    } catch (const std::runtime_error& error) {
        remark(error.what());
        return kStateFile;
    }
    const auto target = targetOf(state, options);
    if (!target) return kUnreachable;
    auto request = ControlMessage::make("authenticate");
    request.deviceID = state.deviceID;
    request.hostID = state.hostID;
    request.token = state.token;
    if (options.takeover) request.takeover = true;

    Run run;
    return run.execute(
        *target, std::move(request), options.timeoutSeconds, [](const ControlMessage&) {},
        [](const ControlMessage&) { return int(kSuccess); }, statusFor);
}

int DeviceCommands::stream(const DeviceOptions& options) {
    DeviceState state;
    try {
        state = DeviceState::load(options.stateFile);
    } catch (const std::runtime_error& error) {
        remark(error.what());
        return kStateFile;
    }
    const auto target = targetOf(state, options);
    if (!target) return kUnreachable;
    auto request = ControlMessage::make("authenticate");
    request.deviceID = state.deviceID;
    request.hostID = state.hostID;
    request.token = state.token;
    request.features = std::vector<std::string>{"frameAck"};
    if (options.takeover) request.takeover = true;
    auto viewer = StreamViewer::make(std::make_shared<platform::AsioMainQueue>(), *target,
                                     std::move(request), options.stream, options.timeoutSeconds);
    return viewer->run();
}

}  // namespace caldrovex::device
