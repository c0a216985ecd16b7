#include "protocol/ControlMessage.h"

#include "protocol/JsonReader.h"
#include "protocol/JsonWriter.h"

namespace caldrovex {

ControlMessage ControlMessage::make(std::string type) {
    ControlMessage message;
    message.type = std::move(type);
    message.version = kProtocolVersion;
    return message;
}

std::string ControlMessage::encode() const {
    JsonWriter w;
    w.string("type", type);
    w.int64("version", version);
    w.string("hostID", hostID);
    w.string("name", name);
    w.string("deviceID", deviceID);
    w.string("deviceName", deviceName);
    w.string("secret", secret);
    w.string("token", token);
    w.string("message", message);
    if (displays) {
        auto list = nlohmann::ordered_json::array();
        for (const auto& display : *displays) list.push_back(display.toJSON());
        w.value("displays", std::move(list));
    }
    w.uint32("displayID", displayID);
    w.boolean("controlAllowed", controlAllowed);
    w.int64("fps", fps);
    w.int64("maxWidth", maxWidth);
    w.int64("bitrate", bitrate);
    w.int64("width", width);
    w.int64("height", height);
    w.bytes("sps", sps);
    w.bytes("pps", pps);
    w.string("event", event);
    w.number("x", x);
    w.number("y", y);
    w.int64("button", button);
    w.uint16("keyCode", keyCode);
    w.boolean("keyDown", keyDown);
    w.uint64("modifiers", modifiers);
    w.string("text", text);
    w.strings("features", features);
    w.int64("frames", frames);
    w.boolean("restart", restart);
    w.boolean("takeover", takeover);
    w.strings("addresses", addresses);
    w.string("relay", relay);
    w.string("relayKey", relayKey);
    return w.dump();
}

std::optional<ControlMessage> ControlMessage::decode(std::string_view json) {
    auto value = JsonReader::parse(json);
    if (value.is_discarded()) return std::nullopt;
    JsonReader r(value);
    ControlMessage m;
    m.type = r.required(r.string("type"));
    m.version = r.int64("version");
    m.hostID = r.string("hostID");
    m.name = r.string("name");
    m.deviceID = r.string("deviceID");
    m.deviceName = r.string("deviceName");
    m.secret = r.string("secret");
    m.token = r.string("token");
    m.message = r.string("message");
    m.displays = r.list<RemoteDisplay>("displays", RemoteDisplay::fromJSON);
    m.displayID = r.uint32("displayID");
    m.controlAllowed = r.boolean("controlAllowed");
    m.fps = r.int64("fps");
    m.maxWidth = r.int64("maxWidth");
    m.bitrate = r.int64("bitrate");
    m.width = r.int64("width");
    m.height = r.int64("height");
    m.sps = r.bytes("sps");
    m.pps = r.bytes("pps");
    m.event = r.string("event");
    m.x = r.number("x");
    m.y = r.number("y");
    m.button = r.int64("button");
    m.keyCode = r.uint16("keyCode");
    m.keyDown = r.boolean("keyDown");
    m.modifiers = r.uint64("modifiers");
    m.text = r.string("text");
    m.features = r.strings("features");
    m.frames = r.int64("frames");
    m.restart = r.boolean("restart");
    m.takeover = r.boolean("takeover");
    m.addresses = r.strings("addresses");
    m.relay = r.string("relay");
    m.relayKey = r.string("relayKey");
    if (!r.ok()) return std::nullopt;
    return m;
}

}  // namespace caldrovex
