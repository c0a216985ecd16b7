#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace caldrovex::platform {

// The per-user folders of the XDG base directory rules, as the host uses them: its data
// (identity files), its settings file, and the private runtime folder of the relay bridge.
//
// Pure apart from the environment lookup, which tests inject. Callable from any thread as
// long as the lookup is.
class UserFolders {
public:
    // Returns the variable's value, or nullopt when it is not set.
    using Lookup = std::function<std::optional<std::string>(const std::string& name)>;

    // Reads the process environment.
    UserFolders();
    explicit UserFolders(Lookup lookup);

    // $XDG_DATA_HOME/Caldrovex, else $HOME/.local/share/Caldrovex.
    std::filesystem::path dataFolder() const;
    // $XDG_CONFIG_HOME/Caldrovex, else $HOME/.config/Caldrovex.
    std::filesystem::path configFolder() const;
    // $XDG_RUNTIME_DIR, else the system's temporary folder (which the bridge's privacy check
    // then refuses, as it is shared by all users).
    std::filesystem::path runtimeFolder() const;

    static constexpr const char* kAppFolder = "Caldrovex";

private:
    // The variable when it holds an absolute path; relative values are ignored, as the base
    // directory rules demand.
    std::optional<std::filesystem::path> absolute(const std::string& name) const;
    std::filesystem::path home() const;

    Lookup lookup_;
};

}  // namespace caldrovex::platform
