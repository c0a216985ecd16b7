#include "trust/HostIdentity.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/CaldrovexError.h"
#include "platform/OpenSslHandles.h"
#include "trust/CertificateFactory.h"
#include "trust/IdentityBundle.h"
#include "trust/Uuid.h"

namespace caldrovex {
namespace fs = std::filesystem;
namespace {

// The data folder and the working folder hold a private key: owner only.
constexpr mode_t kPrivateFolderMode = 0700;
// The bundle and the working key: owner read/write only.
constexpr mode_t kPrivateFileMode = 0600;
// Any other file: the ordinary mode, narrowed by the user's umask.
constexpr mode_t kOrdinaryFileMode = 0666;
// 256 bits of randomness for the bundle password, written as 43 URL-safe Base64 characters.
constexpr size_t kPasswordBytes = 32;

constexpr const char* kCommonNamePrefix = "Caldrovex-";
constexpr const char* kWorkingKeyFile = "key.pem";
constexpr const char* kWorkingCertificateFile = "cert.pem";
constexpr const char* kWorkingBundleFile = "identity.p12";

[[noreturn]] void throwSystemError(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

std::string storageMessage(int status) {
    return "Secure credential storage is unavailable (" + std::to_string(status) +
           "). Unlock your device or login keyring and try again.";
}

// Creates `path` with exactly `kPrivateFolderMode` (the umask may not widen or narrow it).
// An existing folder is an error unless `existingIsFine`.
void makePrivateFolder(const fs::path& path, bool existingIsFine) {
    if (::mkdir(path.c_str(), kPrivateFolderMode) != 0) {
        const int error = errno;
        struct stat info {};
        if (error == EEXIST && existingIsFine && ::stat(path.c_str(), &info) == 0 &&
            S_ISDIR(info.st_mode)) {
            return;
        }
        throwSystemError("Could not create folder", path, error);
    }
    if (::chmod(path.c_str(), kPrivateFolderMode) != 0) {
        throwSystemError("Could not set folder permissions", path, errno);
    }
}

// The data folder with every missing parent, each new one owner-only. Existing folders keep
// their permissions.
void makeDataFolder(const fs::path& directory) {
    fs::path current;
    for (const fs::path& part : directory) {
        current /= part;
        struct stat info {};
        if (::stat(current.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) throwSystemError("Not a folder", current, ENOTDIR);
            continue;
        }
        if (errno != ENOENT) throwSystemError("Could not inspect folder", current, errno);
        makePrivateFolder(current, true);
    }
}

void writeAll(int fd, const std::string& data, const fs::path& path) {
    size_t written = 0;
    while (written < data.size()) {
        ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwSystemError("Could not write file", path, errno);
        }
        written += static_cast<size_t>(n);
    }
}

// Writes a file that must not exist yet. With `exactMode`, the file never exists with wider
// permissions than that, not even for a moment. `durable` flushes it to disk before closing.
void writeNewFile(const fs::path& path, const std::string& data, std::optional<mode_t> exactMode,
                  bool durable = false) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          exactMode.value_or(kOrdinaryFileMode));
    if (fd < 0) throwSystemError("Could not create file", path, errno);
    try {
        if (exactMode && ::fchmod(fd, *exactMode) != 0) {
            throwSystemError("Could not set file permissions", path, errno);
        }
        writeAll(fd, data, path);
        if (durable && ::fsync(fd) != 0) throwSystemError("Could not write file", path, errno);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) throwSystemError("Could not write file", path, errno);
}

// Replaces `path` in one step: readers see the old content or the whole new one.
void writeAtomically(const fs::path& path, const std::string& data) {
    const fs::path temporary =
        path.parent_path() / ("." + path.filename().string() + "." + Uuid::makeUpper());
    try {
        writeNewFile(temporary, data, std::nullopt, true);
        fs::rename(temporary, path);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throwSystemError("Could not read file", path, errno ? errno : EIO);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throwSystemError("Could not read file", path, EIO);
    return data;
}

bool fileExists(const fs::path& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra;
        char32_t point;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - i <= extra) return false;  // truncated sequence
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        // Reject overlong forms, UTF-16 surrogates and points past U+10FFFF.
        if ((extra == 2 && point < 0x800) || (extra == 3 && point < 0x10000) ||
            (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// 32 random bytes as unpadded URL-safe Base64: 43 characters.
std::string makePassword() {
    std::array<unsigned char, kPasswordBytes> bytes{};
    const int status = RAND_bytes(bytes.data(), static_cast<int>(bytes.size()));
    if (status != 1) throw CaldrovexError(storageMessage(status));
    std::array<unsigned char, 4 * ((kPasswordBytes + 2) / 3) + 1> encoded{};
    const int length =
        EVP_EncodeBlock(encoded.data(), bytes.data(), static_cast<int>(bytes.size()));
    OPENSSL_cleanse(bytes.data(), bytes.size());
    std::string token(reinterpret_cast<const char*>(encoded.data()), static_cast<size_t>(length));
    OPENSSL_cleanse(encoded.data(), encoded.size());
    std::replace(token.begin(), token.end(), '+', '-');
    std::replace(token.begin(), token.end(), '/', '_');
    token.erase(std::remove(token.begin(), token.end(), '='), token.end());
    return token;
}

std::string sha256Hex(const std::vector<unsigned char>& data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        throw CaldrovexError("The host certificate is unavailable.");
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0f];
    }
    return hex;
}

// The stored identifier when "host-id" holds a valid UUID exactly as read; otherwise a new
// upper-case one, written before it is used.
std::string loadOrMakeHostID(const fs::path& directory) {
    const fs::path path = directory / HostIdentity::kHostIdFile;
    std::ifstream in(path, std::ios::binary);
    if (in) {
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.bad() && Uuid::isValid(text)) return text;
    }
    std::string made = Uuid::makeUpper();
    writeAtomically(path, made);
    return made;
}

std::string loadOrMakePassword(const IdentityPasswordStore& passwords, const std::string& hostID,
                               bool allowInteraction, const fs::path& bundlePath) {
    const std::string account = HostIdentity::passwordAccount(hostID);
    std::optional<std::string> stored = passwords.readPassword(account, allowInteraction);
    if (stored && isValidUtf8(*stored)) return *stored;
    // A bundle whose password is gone cannot be opened, and replacing it would silently
    // break every paired device's pinned hash: the user must restore the keyring instead.
    if (fileExists(bundlePath)) throw CaldrovexError(HostIdentity::kPasswordMissingMessage);
    std::string made = makePassword();
    passwords.writePassword(account, made);
    return made;
}

// Removes the working folder with whatever it holds, on success and on failure alike; a
// failure to remove it is not worth failing the identity for.
struct WorkingFolder {
    fs::path path;
    ~WorkingFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

template <typename T, typename Reader>
T readPem(const fs::path& path, Reader reader) {
    const std::string pem = readFile(path);
    platform::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    T object(bio ? reader(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!object) throw CertificateFactory::creationError();
    return object;
}

// Makes a key and certificate and leaves them as a PKCS#12 file at `bundlePath`. The key and
// certificate pass through a private working folder as PEM files and the bundle is made from
// what was written there; only the final rename puts anything in the data folder.
void makeBundle(const fs::path& directory, const std::string& hostID, const std::string& password,
                const fs::path& bundlePath) {
    const fs::path working = directory / Uuid::makeUpper();
    makePrivateFolder(working, false);
    WorkingFolder cleanup{working};

    const fs::path keyPath = working / kWorkingKeyFile;
    const fs::path certificatePath = working / kWorkingCertificateFile;
    const fs::path workingBundle = working / kWorkingBundleFile;
    {
        SelfSignedCertificate made = CertificateFactory::make(kCommonNamePrefix + hostID);
        writeNewFile(keyPath, CertificateFactory::privateKeyPem(made.key.get()), kPrivateFileMode);
        writeNewFile(certificatePath, CertificateFactory::certificatePem(made.certificate.get()),
                     std::nullopt);
    }
    auto key = readPem<platform::EvpPkeyPtr>(keyPath, PEM_read_bio_PrivateKey);
    auto certificate = readPem<platform::X509Ptr>(certificatePath, PEM_read_bio_X509);
    writeNewFile(workingBundle, IdentityBundle::create(key.get(), certificate.get(), password),
                 kPrivateFileMode, true);
    fs::rename(workingBundle, bundlePath);
}

}  // namespace

std::string HostIdentity::passwordAccount(const std::string& hostID) {
    return "identity-password-" + hostID;
}

HostIdentity::HostIdentity(const fs::path& directory, const IdentityPasswordStore& passwords,
                           bool allowCredentialInteraction) {
    makeDataFolder(directory);
    hostID_ = loadOrMakeHostID(directory);
    const fs::path bundlePath = directory / kBundleFile;
    const std::string password =
        loadOrMakePassword(passwords, hostID_, allowCredentialInteraction, bundlePath);
    if (!fileExists(bundlePath)) makeBundle(directory, hostID_, password, bundlePath);

    OpenedIdentity opened = IdentityBundle::open(readFile(bundlePath), password);
    identity_ = {std::move(opened.privateKeyPem), std::move(opened.certificatePem)};
    certificateHash_ = sha256Hex(opened.certificateDer);
}

}  // namespace caldrovex
