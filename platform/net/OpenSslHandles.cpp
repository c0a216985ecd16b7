#include "platform/net/OpenSslHandles.h"

#include <openssl/err.h>

namespace caldrovex::platform::net {

std::string takeOpenSslError() {
    unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) return {};
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

}  // namespace caldrovex::platform::net
