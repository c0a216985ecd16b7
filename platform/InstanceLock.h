#pragma once

#include <filesystem>
#include <memory>

namespace caldrovex::platform {

// Makes sure only one host runs per user: an exclusive advisory lock (flock) on a file in the
// user's private runtime folder, held for the life of the process. The kernel drops it when
// the process ends in any way, so a host that was killed leaves nothing that blocks the next.
//
// Any thread; the lock belongs to the process (its descriptor is not inherited by programs
// the host starts).
class InstanceLock {
public:
    // The lock, or nullptr when another process holds it. Throws CaldrovexError when the
    // file cannot be opened or locked for another reason.
    static std::unique_ptr<InstanceLock> tryAcquire(const std::filesystem::path& file);
    ~InstanceLock();

    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Throws CaldrovexError unless `folder` is a folder owned by this user that gives group
    // and others nothing (what $XDG_RUNTIME_DIR is): the lock and the command socket must
    // not be reachable, or replaceable, by anyone else.
    static void requirePrivateFolder(const std::filesystem::path& folder);

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace caldrovex::platform
