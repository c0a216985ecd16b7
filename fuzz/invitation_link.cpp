// The pairing link a device reads (from a QR code or pasted text) with any bytes: what reads
// as an invitation must make a link that reads back as the same invitation.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "host/InvitationLink.h"

using namespace caldrovex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view link(reinterpret_cast<const char*>(data), size);
    const auto invitation = InvitationLink::read(link);
    if (!invitation) return 0;
    const auto made = InvitationLink::make(*invitation);
    if (!made) std::abort();
    const auto again = InvitationLink::read(*made);
    if (!again || !(*again == *invitation)) std::abort();
    return 0;
}
