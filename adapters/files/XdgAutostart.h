#pragma once

#include <filesystem>
#include <string>

namespace caldrovex::platform {

// The desktop's "start at login" switch for the host: an XDG autostart entry, a desktop file
// in $XDG_CONFIG_HOME/autostart that the session starts when the user logs in. Turning it on
// writes the entry (atomically, through a temporary file); turning it off removes it.
//
// An entry the user (or another tool) marked "Hidden=true" counts as off, as the autostart
// rules say; turning the switch on then replaces it with ours.
//
// Plain file operations; call from one thread at a time.
class XdgAutostart {
public:
    // `entry`: the desktop file's path; `program`: the absolute path the entry starts.
    XdgAutostart(std::filesystem::path entry, std::string program);

    // The entry for the current user ($XDG_CONFIG_HOME, else ~/.config) starting the
    // running program (its /proc/self/exe).
    static XdgAutostart forUser();

    bool enabled() const;
    // Throws CaldrovexError with a sentence naming the file when it cannot be written or
    // removed; nothing changes then.
    void setEnabled(bool enabled) const;

    // The desktop file's text.
    std::string entryText() const;
    // `program` as one argument of an Exec line: quoted when it holds anything but plain
    // characters, with the escapes the desktop entry rules ask for.
    static std::string execArgument(const std::string& program);

    const std::filesystem::path& entry() const { return entry_; }

    static constexpr const char* kEntryName = "caldrovex-host.desktop";

private:
    std::filesystem::path entry_;
    std::string program_;
};

}  // namespace caldrovex::platform
