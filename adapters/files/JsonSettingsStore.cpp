#include "adapters/files/JsonSettingsStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/UserFolders.h"

namespace caldrovex::platform {

namespace {

std::string systemMessage(int code) {
    return std::error_code(code, std::generic_category()).message();
}

// Writes all of `text` to a fresh file beside `file` and renames it over `file`. Returns the
// failure's description, or nullopt on success. The temporary file is removed on failure.
std::optional<std::string> replaceFile(const std::filesystem::path& file, const std::string& text) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error) return error.message();

    auto temporary = file;
    temporary += ".tmp-" + std::to_string(getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return systemMessage(errno);

    const char* data = text.data();
    size_t left = text.size();
    int failure = 0;
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    // The data must be on disk before the rename makes it the settings file.
    if (failure == 0 && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) failure = errno;
    if (failure != 0) {
        ::unlink(temporary.c_str());
        return systemMessage(failure);
    }
    return std::nullopt;
}

}  // namespace

JsonSettingsStore::JsonSettingsStore(std::filesystem::path file) : file_(std::move(file)) {
    std::ifstream stream(file_, std::ios::binary);
    if (!stream) return;
    std::stringstream text;
    text << stream.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) values_ = std::move(parsed);
}

std::filesystem::path JsonSettingsStore::defaultFile() {
    return UserFolders().configFolder() / "defaults.json";
}

std::optional<bool> JsonSettingsStore::boolean(const std::string& key) const {
    auto found = values_.find(key);
    if (found == values_.end() || !found->is_boolean()) return std::nullopt;
    return found->get<bool>();
}

std::optional<std::string> JsonSettingsStore::text(const std::string& key) const {
    auto found = values_.find(key);
    if (found == values_.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

void JsonSettingsStore::setBoolean(const std::string& key, bool value) {
    values_[key] = value;
    save();
}

void JsonSettingsStore::save() {
    lastWriteError_ = replaceFile(file_, values_.dump(2) + "\n");
}

}  // namespace caldrovex::platform
