#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "support/ChildProcess.h"

namespace caldrovex::bench {

// What the host needs around it, made private to one bench run so that it never touches the
// user's own: folders for data, settings, state and runtime (relay road off in the settings),
// a D-Bus session with an unlocked gnome-keyring, and an X server at 1920×1080.
//
// Main thread only. Everything it started is stopped at destruction.
class PrivateSession {
public:
    // Runs the bench again inside a D-Bus session of its own (dbus-run-session) unless it
    // already runs in one. Returns only when no re-execution was needed; exits on failure.
    static void enterBusSession(int argc, char** argv);

    // Makes the folders and points this process's environment at them (children inherit it),
    // then starts the keyring daemon with a fresh password. The daemons' errors go to files
    // in `logs`. Throws std::runtime_error.
    explicit PrivateSession(std::filesystem::path logs);
    ~PrivateSession();
    PrivateSession(const PrivateSession&) = delete;
    PrivateSession& operator=(const PrivateSession&) = delete;

    // Starts Xvfb at 1920×1080×24 on a free display number and sets DISPLAY to it.
    void startXServer();
    // Uses an X server that already runs.
    void useXServer(const std::string& name);

    const std::filesystem::path& root() const { return root_; }
    const std::string& displayName() const { return display_; }

private:
    std::filesystem::path logs_;
    std::filesystem::path root_;
    std::optional<int> keyringPid_;
    std::unique_ptr<test::ChildProcess> xServer_;
    std::string display_;
};

}  // namespace caldrovex::bench
