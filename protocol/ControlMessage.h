#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/RemoteDisplay.h"

namespace caldrovex {

// The one record of every control exchange between the host and a device, in both
// directions: `type` names the message, `version` the protocol revision (1), and every other
// field is present only in the messages that use it. A plain value type; encode and decode
// are pure and callable from any thread.
//
// JSON form: compact, keys named as the fields; an absent field is left out, and on reading
// a missing key and a null value are both absent. Unknown keys are ignored. A missing `type`,
// a value of the wrong kind or out of its field's range, or malformed Base64 in `sps`/`pps`
// makes the whole message undecodable.
struct ControlMessage {
    // The revision every message this side builds carries, and the only one it accepts.
    static constexpr int64_t kProtocolVersion = 1;

    std::string type;
    std::optional<int64_t> version;
    std::optional<std::string> hostID;
    std::optional<std::string> name;
    std::optional<std::string> deviceID;
    std::optional<std::string> deviceName;
    std::optional<std::string> secret;
    std::optional<std::string> token;
    std::optional<std::string> message;
    std::optional<std::vector<RemoteDisplay>> displays;
    std::optional<uint32_t> displayID;
    std::optional<bool> controlAllowed;
    std::optional<int64_t> fps;
    std::optional<int64_t> maxWidth;
    std::optional<int64_t> bitrate;
    std::optional<int64_t> width;
    std::optional<int64_t> height;
    std::optional<std::vector<uint8_t>> sps;
    std::optional<std::vector<uint8_t>> pps;
    std::optional<std::string> event;
    std::optional<double> x;
    std::optional<double> y;
    std::optional<int64_t> button;
    std::optional<uint16_t> keyCode;
    std::optional<bool> keyDown;
    std::optional<uint64_t> modifiers;
    std::optional<std::string> text;
    std::optional<std::vector<std::string>> features;
    std::optional<int64_t> frames;
    std::optional<bool> restart;
    std::optional<bool> takeover;
    std::optional<std::vector<std::string>> addresses;
    std::optional<std::string> relay;
    std::optional<std::string> relayKey;

    // A message of `type` with `version` 1 and no other field.
    static ControlMessage make(std::string type);

    bool operator==(const ControlMessage&) const = default;

    // Compact JSON text. Throws CaldrovexError when the message cannot be put in JSON: a
    // string that is not valid UTF-8, or an `x`/`y` that is NaN or infinite.
    std::string encode() const;
    // nullopt when the text is not a JSON object or breaks a rule above.
    static std::optional<ControlMessage> decode(std::string_view json);
};

}  // namespace caldrovex
