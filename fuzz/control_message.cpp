// Control message decoding with any bytes: what decodes must encode and decode to itself.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "protocol/ControlMessage.h"

using namespace caldrovex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    const auto message = ControlMessage::decode(json);
    if (!message) return 0;
    const auto again = ControlMessage::decode(message->encode());
    if (!again || !(*again == *message)) std::abort();
    return 0;
}
