#include "platform/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace caldrovex::platform {

namespace {

std::optional<std::string> fromEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace

UserFolders::UserFolders() : lookup_(fromEnvironment) {}

UserFolders::UserFolders(Lookup lookup) : lookup_(std::move(lookup)) {}

std::optional<std::filesystem::path> UserFolders::absolute(const std::string& name) const {
    auto value = lookup_(name);
    if (!value || value->empty()) return std::nullopt;
    std::filesystem::path path(*value);
    if (!path.is_absolute()) return std::nullopt;
    return path;
}

std::filesystem::path UserFolders::home() const {
    if (auto home = absolute("HOME")) return *home;
    // No usable $HOME (a service without a login environment): ask the password database.
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return "/";
}

std::filesystem::path UserFolders::dataFolder() const {
    auto base = absolute("XDG_DATA_HOME").value_or(home() / ".local" / "share");
    return base / kAppFolder;
}

std::filesystem::path UserFolders::configFolder() const {
    auto base = absolute("XDG_CONFIG_HOME").value_or(home() / ".config");
    return base / kAppFolder;
}

std::filesystem::path UserFolders::runtimeFolder() const {
    if (auto runtime = absolute("XDG_RUNTIME_DIR")) return *runtime;
    std::error_code error;
    auto temporary = std::filesystem::temp_directory_path(error);
    return error ? std::filesystem::path("/tmp") : temporary;
}

}  // namespace caldrovex::platform
