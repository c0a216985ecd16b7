#include "adapters/files/XdgAutostart.h"

#include <sys/stat.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/CaldrovexError.h"
#include "platform/UserFolders.h"

namespace caldrovex::platform {

namespace fs = std::filesystem;

namespace {

CaldrovexError failure(const fs::path& entry, const std::string& what, const std::string& why) {
    return CaldrovexError("The login entry " + entry.string() + " could not be " + what + " (" +
                          why + ").");
}

}  // namespace

XdgAutostart::XdgAutostart(fs::path entry, std::string program)
    : entry_(std::move(entry)), program_(std::move(program)) {}

XdgAutostart XdgAutostart::forUser() {
    // The configuration folder of the host is $XDG_CONFIG_HOME/Caldrovex; autostart entries
    // sit beside it.
    const fs::path config = UserFolders().configFolder().parent_path();
    std::error_code error;
    fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) program = "caldrovex-host";
    return XdgAutostart(config / "autostart" / kEntryName, program.string());
}

bool XdgAutostart::enabled() const {
    std::ifstream in(entry_);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Hidden=true") return false;
    }
    return true;
}

void XdgAutostart::setEnabled(bool enabled) const {
    std::error_code error;
    if (!enabled) {
        fs::remove(entry_, error);
        if (error) throw failure(entry_, "removed", error.message());
        return;
    }
    fs::create_directories(entry_.parent_path(), error);
    if (error) throw failure(entry_, "written", error.message());
    fs::path temporary = entry_;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        if (!(out << entryText()) || !out.flush()) {
            fs::remove(temporary, error);
            throw failure(entry_, "written", "the folder is not writable");
        }
    }
    fs::rename(temporary, entry_, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw failure(entry_, "written", error.message());
    }
}

std::string XdgAutostart::entryText() const {
    std::ostringstream text;
    text << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Name=Orvelo Host\n"
         << "Comment=Share this computer's screen with your paired devices\n"
         << "Exec=" << execArgument(program_) << "\n"
         << "Icon=caldrovex-host\n"
         << "Terminal=false\n"
         << "X-GNOME-Autostart-enabled=true\n";
    return text.str();
}

std::string XdgAutostart::execArgument(const std::string& program) {
    // Field codes start with "%", so a literal one is doubled in any case.
    std::string doubled;
    for (char c : program) {
        doubled += c;
        if (c == '%') doubled += '%';
    }
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    if (doubled.find_first_of(reserved) == std::string::npos) return doubled;
    // Inside quotes these four take a backslash; then the file's own string escaping writes
    // every backslash twice.
    std::string quoted = "\"";
    for (char c : doubled) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
        if (c == '\\')
            quoted += "\\\\";
        else
            quoted += c;
    }
    return quoted + "\"";
}

}  // namespace caldrovex::platform
