#include "protocol/PairingInvitation.h"

#include "protocol/JsonReader.h"
#include "protocol/JsonWriter.h"

namespace caldrovex {

std::string PairingInvitation::encode() const {
    JsonWriter w;
    w.int64("version", version);
    w.string("hostID", hostID);
    w.string("name", name);
    w.string("address", address);
    w.uint16("port", port);
    w.string("certificateHash", certificateHash);
    w.string("secret", secret);
    w.date("expiresAt", expiresAt);
    w.strings("addresses", addresses);
    w.string("relay", relay);
    w.string("relayKey", relayKey);
    return w.dump();
}

std::optional<PairingInvitation> PairingInvitation::decode(std::string_view json) {
    auto value = JsonReader::parse(json);
    if (value.is_discarded()) return std::nullopt;
    JsonReader r(value);
    PairingInvitation invitation;
    invitation.version = r.required(r.int64("version"));
    invitation.hostID = r.required(r.string("hostID"));
    invitation.name = r.required(r.string("name"));
    invitation.address = r.required(r.string("address"));
    invitation.port = r.required(r.uint16("port"));
    invitation.certificateHash = r.required(r.string("certificateHash"));
    invitation.secret = r.required(r.string("secret"));
    invitation.expiresAt = r.required(r.date("expiresAt"));
    invitation.addresses = r.strings("addresses");
    invitation.relay = r.string("relay");
    invitation.relayKey = r.string("relayKey");
    if (!r.ok()) return std::nullopt;
    return invitation;
}

}  // namespace caldrovex
