#include "tools/device/StreamViewer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "platform/CaldrovexError.h"
#include "tools/device/DeviceCommands.h"
#include "video/PngWriter.h"

namespace caldrovex::device {

namespace {

// Set by SIGINT/SIGTERM; the viewer's tick notices it.
std::atomic<bool> interrupted{false};

void onSignal(int) {
    interrupted = true;
}

double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void printLine(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

void remark(const std::string& text) {
    std::fprintf(stderr, "caldrovex-device: %s\n", text.c_str());
}

void printMessage(const ControlMessage& message) {
    try {
        printLine(message.encode());
    } catch (const CaldrovexError&) {
        printLine("{\"type\":\"undecodable\"}");
    }
}

ControlMessage inputMessage(const std::string& event) {
    auto message = ControlMessage::make("input");
    message.event = event;
    return message;
}

// Reads standard input on a thread of its own and posts each line to the viewer's queue. The
// thread is detached: a blocked read must not keep the process from ending.
void readStandardInput(std::shared_ptr<platform::AsioMainQueue> queue,
                       std::weak_ptr<StreamViewer> viewer) {
    std::thread([queue, viewer] {
        std::string line;
        while (std::getline(std::cin, line)) {
            queue->post([viewer, line] {
                if (auto self = viewer.lock()) self->command(line);
            });
        }
    }).detach();
}

}  // namespace

std::shared_ptr<StreamViewer> StreamViewer::make(std::shared_ptr<platform::AsioMainQueue> queue,
                                                 DeviceClient::Target target,
                                                 ControlMessage authenticate, StreamOptions options,
                                                 double timeoutSeconds) {
    return std::shared_ptr<StreamViewer>(new StreamViewer(std::move(queue), std::move(target),
                                                          std::move(authenticate),
                                                          std::move(options), timeoutSeconds));
}

StreamViewer::StreamViewer(std::shared_ptr<platform::AsioMainQueue> queue,
                           DeviceClient::Target target, ControlMessage authenticate,
                           StreamOptions options, double timeoutSeconds)
    : queue_(std::move(queue)),
      target_(std::move(target)),
      authenticate_(std::move(authenticate)),
      options_(std::move(options)),
      timeoutSeconds_(timeoutSeconds) {}

int StreamViewer::run() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    startedAt_ = monotonicNow();
    lastPing_ = startedAt_;
    readStandardInput(queue_, weak());
    login();
    queue_->postAfter(1, [weak = weak()] {
        if (auto self = weak.lock()) self->tick();
    });
    queue_->run();
    if (client_) client_->cancel();
    client_.reset();
    login_.reset();
    queue_->close();
    savePicture();
    return status_.value_or(kSuccess);
}

void StreamViewer::login() {
    auto client = DeviceClient::make(queue_, platform::SystemClock::shared());
    login_ = DeviceLogin::make(queue_, client);
    login_->onReply = [](const ControlMessage& message) { printMessage(message); };
    login_->onConnected = [](const std::string& address) { remark("connected to " + address); };
    login_->onOutcome = [weak = weak(), client](LoginOutcome outcome) {
        auto self = weak.lock();
        if (!self) return;
        if (outcome.kind == LoginOutcome::Kind::admitted) return self->admitted(client);
        if (!outcome.message.empty()) remark(outcome.message);
        self->end(outcome.kind == LoginOutcome::Kind::busy ||
                          outcome.kind == LoginOutcome::Kind::refused
                      ? kRefused
                  : outcome.kind == LoginOutcome::Kind::certificateMismatch ? kCertificateMismatch
                                                                            : kUnreachable);
    };
    login_->start(target_, authenticate_, timeoutSeconds_);
}

void StreamViewer::admitted(const std::shared_ptr<DeviceClient>& client) {
    client_ = client;
    dropping_ = false;
    // A new connection starts a new stream: decoding begins again at its first key frame.
    videoConfig_.reset();
    decoder_ = std::make_unique<H264Decoder>();
    const auto& channel = client->channel();
    channel->acknowledgesVideo = true;
    std::weak_ptr<StreamViewer> weak = weak_from_this();
    channel->onVideo = [weak](std::vector<uint8_t> body) {
        if (auto self = weak.lock()) self->video(body);
    };
    client->onMessage = [weak](ControlMessage message) {
        if (auto self = weak.lock()) self->received(message);
    };
    client->onClosed = [weak](std::optional<std::string> reason) {
        if (auto self = weak.lock()) self->closed(reason);
    };
    sendStreamRequest();
}

void StreamViewer::sendStreamRequest() {
    auto request = ControlMessage::make("stream");
    request.fps = options_.fps;
    request.maxWidth = options_.maxWidth;
    request.bitrate = options_.bitrate;
    request.displayID = options_.displayID;
    if (options_.restart) request.restart = true;
    send(request);
}

void StreamViewer::send(const ControlMessage& message) {
    if (client_ && client_->channel()) client_->channel()->send(message);
}

void StreamViewer::received(const ControlMessage& message) {
    printMessage(message);
    if (message.type == "videoConfig") {
        videoConfig_ = message;
    } else if (message.type == "pong") {
        figures_.targetBitrate = message.bitrate;
        figures_.hostFps = message.fps;
    }
}

void StreamViewer::video(const std::vector<uint8_t>& body) {
    const double receivedAt = monotonicNow();
    if (body.empty() || !decoder_) return;
    EncodedFrame frame;
    frame.keyframe = body[0] != 0;
    frame.data.assign(body.begin() + 1, body.end());
    if (frame.keyframe && videoConfig_ && videoConfig_->sps && videoConfig_->pps)
        frame.parameterSets = EncodedFrame::ParameterSets{*videoConfig_->sps, *videoConfig_->pps};
    std::optional<DecodedPicture> picture;
    try {
        picture = decoder_->decode(frame);
    } catch (const CaldrovexError& error) {
        remark(error.what());
        return;
    }
    if (!picture) return;
    figures_.frame(frame.data.size());
    if (options_.logFrames) {
        const int x =
            std::clamp(static_cast<int>(options_.probeX * picture->width), 0, picture->width - 1);
        const int y =
            std::clamp(static_cast<int>(options_.probeY * picture->height), 0, picture->height - 1);
        const auto colour = picture->pixel(x, y);
        nlohmann::ordered_json line;
        line["event"] = "frame";
        line["decodedAt"] = monotonicNow();
        line["receivedAt"] = receivedAt;
        line["keyframe"] = frame.keyframe;
        line["bytes"] = frame.data.size();
        line["width"] = picture->width;
        line["height"] = picture->height;
        line["probe"] = {colour[0], colour[1], colour[2]};
        printLine(line.dump());
    }
    latest_ = std::move(picture);
}

void StreamViewer::closed(const std::optional<std::string>& reason) {
    if (dropping_) return;
    remark(reason ? "the host ended the connection: " + *reason : "the connection ended");
    end(status_.value_or(kSuccess));
}

void StreamViewer::tick() {
    const double now = monotonicNow();
    printLine(figures_.second(1.0));
    if (now - lastPing_ >= kPingSeconds) {
        lastPing_ = now;
        send(ControlMessage::make("ping"));
    }
    if (interrupted || (options_.seconds && now - startedAt_ >= *options_.seconds)) {
        command("disconnect");
        return;
    }
    queue_->postAfter(1, [weak = weak()] {
        if (auto self = weak.lock()) self->tick();
    });
}

void StreamViewer::end(int status) {
    if (!status_) status_ = status;
    queue_->stop();
}

void StreamViewer::savePicture() {
    if (!options_.png) return;
    if (!latest_) return remark("no picture was decoded; nothing saved");
    try {
        PngWriter::write(*latest_, *options_.png);
        remark("saved the latest picture to " + options_.png->string());
    } catch (const CaldrovexError& error) {
        remark(error.what());
    }
}

void StreamViewer::command(const std::string& line) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    std::string rest;
    std::getline(words >> std::ws, rest);
    std::istringstream numbers(rest);
    double x = 0;
    double y = 0;
    if (verb == "move" || verb == "click") {
        if (!(numbers >> x >> y)) return remark("usage: " + verb + " X Y (0…1)");
        auto move = inputMessage("move");
        move.x = x;
        move.y = y;
        send(move);
        if (verb == "move") return;
        for (bool down : {true, false}) {
            auto button = inputMessage("button");
            button.x = x;
            button.y = y;
            button.button = 0;
            button.keyDown = down;
            send(button);
        }
    } else if (verb == "key") {
        int code = 0;
        if (!(numbers >> code)) return remark("usage: key CODE");
        for (bool down : {true, false}) {
            auto key = inputMessage("key");
            key.keyCode = static_cast<uint16_t>(code);
            key.keyDown = down;
            send(key);
        }
    } else if (verb == "text") {
        auto text = inputMessage("text");
        text.text = rest;
        send(text);
    } else if (verb == "clipboard" || verb == "paste") {
        auto clipboard = ControlMessage::make("clipboard");
        clipboard.text = rest;
        if (verb == "paste") clipboard.event = "paste";
        send(clipboard);
    } else if (verb == "clipboardRequest" || verb == "invite" || verb == "keyframe" ||
               verb == "release" || verb == "ping") {
        send(ControlMessage::make(verb));
    } else if (verb == "disconnect" || verb == "quit") {
        if (!client_) return end(kSuccess);
        dropping_ = true;
        client_->onClosed = [weak = weak()](std::optional<std::string>) {
            if (auto self = weak.lock()) self->end(kSuccess);
        };
        client_->channel()->finish(ControlMessage::make("disconnect"));
    } else if (verb == "drop") {
        if (!client_) return;
        dropping_ = true;
        client_->cancel();
        client_.reset();
        remark("dropped the connection");
    } else if (verb == "reconnect") {
        if (client_) {
            dropping_ = true;
            client_->cancel();
            client_.reset();
        }
        login();
    } else if (!verb.empty()) {
        remark("unknown command \"" + verb + "\"");
    }
}

}  // namespace caldrovex::device
