#include "trust/OpenSslHandles.h"

#include <openssl/err.h>

namespace caldrovex {

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

}  // namespace caldrovex
