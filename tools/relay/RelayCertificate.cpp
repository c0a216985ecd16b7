#include "tools/relay/RelayCertificate.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/CaldrovexError.h"
#include "platform/OpenSslHandles.h"
#include "trust/CertificateFactory.h"
#include "trust/Digest.h"

namespace caldrovex::relay {

namespace fs = std::filesystem;
using platform::BioPtr;
using platform::X509Ptr;

namespace {

std::runtime_error fileError(const std::string& what, const fs::path& path, int error) {
    return std::runtime_error(what + " " + path.string() + ": " + std::strerror(error) + ".");
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw fileError("Could not read", path, errno);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written beside the final name and renamed over it, with `mode` from the start.
void writeFile(const fs::path& path, const std::string& text, mode_t mode) {
    const fs::path temporary = path.string() + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) throw fileError("Could not write", temporary, errno);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            throw fileError("Could not write", temporary, error);
        }
        written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) throw fileError("Could not write", temporary, errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        throw fileError("Could not write", path, errno);
}

std::string leafHash(const std::string& certificatePem, const fs::path& file) {
    BioPtr bio(BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
    X509Ptr leaf(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!leaf) throw std::runtime_error(file.string() + " holds no PEM certificate.");
    const auto der = CertificateFactory::certificateDer(leaf.get());
    return Digest::sha256Hex(
        std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
}

}  // namespace

RelayCertificate RelayCertificate::load(const fs::path& certificateFile, const fs::path& keyFile) {
    RelayCertificate certificate;
    certificate.identity.certificatePem = readText(certificateFile);
    certificate.identity.privateKeyPem = readText(keyFile);
    certificate.sha256 = leafHash(certificate.identity.certificatePem, certificateFile);
    return certificate;
}

RelayCertificate RelayCertificate::loadOrMake(const fs::path& folder) {
    const fs::path keyFile = folder / kKeyFile;
    const fs::path certificateFile = folder / kCertificateFile;
    const bool hasKey = fs::exists(keyFile);
    const bool hasCertificate = fs::exists(certificateFile);
    if (hasKey && hasCertificate) return load(certificateFile, keyFile);
    if (hasKey != hasCertificate) {
        // Making a new pair would change the hash every host pinned; that is the owner's call.
        throw std::runtime_error(folder.string() + " holds only one of " + kKeyFile + " and " +
                                 kCertificateFile +
                                 "; restore the other, or remove it to make a new certificate.");
    }
    std::error_code error;
    fs::create_directories(folder, error);
    if (error)
        throw std::runtime_error("Could not create " + folder.string() + ": " + error.message() +
                                 ".");
    fs::permissions(folder, fs::perms::owner_all, error);
    try {
        auto made = CertificateFactory::make("Caldrovex relay");
        RelayCertificate certificate;
        certificate.identity.privateKeyPem = CertificateFactory::privateKeyPem(made.key.get());
        certificate.identity.certificatePem =
            CertificateFactory::certificatePem(made.certificate.get());
        certificate.sha256 = leafHash(certificate.identity.certificatePem, certificateFile);
        writeFile(keyFile, certificate.identity.privateKeyPem, 0600);
        writeFile(certificateFile, certificate.identity.certificatePem, 0644);
        return certificate;
    } catch (const CaldrovexError& failure) {
        throw std::runtime_error(failure.what());
    }
}

}  // namespace caldrovex::relay
