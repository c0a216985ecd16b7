#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "host/SettingsStore.h"

namespace caldrovex::platform {

// The user's settings as one JSON object in a file (by default
// $XDG_CONFIG_HOME/Caldrovex/defaults.json). The file is read once at construction and
// rewritten whole on every change, through a temporary file in the same folder renamed over
// the old one, so a crash never leaves a half-written file behind. Keys it does not know are
// kept as they were.
//
// Main queue only (like its caller); not thread-safe.
class JsonSettingsStore final : public SettingsStore {
public:
    // Reads `file`. A missing, unreadable or malformed file counts as empty: the settings then
    // take their defaults, and the next change writes a fresh file.
    explicit JsonSettingsStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/Caldrovex/defaults.json (see UserFolders).
    static std::filesystem::path defaultFile();

    std::optional<bool> boolean(const std::string& key) const override;
    std::optional<std::string> text(const std::string& key) const override;
    void setBoolean(const std::string& key, bool value) override;

    // The reason the last write failed, or nullopt when it succeeded (or none was made). A
    // failed write keeps the value in memory for this run.
    const std::optional<std::string>& lastWriteError() const { return lastWriteError_; }

    const std::filesystem::path& file() const { return file_; }

private:
    void save();

    std::filesystem::path file_;
    nlohmann::json values_ = nlohmann::json::object();
    std::optional<std::string> lastWriteError_;
};

}  // namespace caldrovex::platform
