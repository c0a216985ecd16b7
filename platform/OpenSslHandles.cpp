#include "platform/OpenSslHandles.h"

#include <openssl/err.h>

namespace caldrovex::platform {

std::string takeOpenSslError() {
    unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) return {};
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

std::string drainOpenSslErrors() {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        ERR_clear_error();
        return {};
    }
    ERR_print_errors(bio.get());  // also empties the queue
    return memoryBioText(bio.get());
}

std::string memoryBioText(BIO* bio) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

}  // namespace caldrovex::platform
