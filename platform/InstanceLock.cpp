#include "platform/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

std::unique_ptr<InstanceLock> InstanceLock::tryAcquire(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw CaldrovexError("The host could not open its lock file " + file.string() + " (" +
                             std::strerror(errno) + ").");
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return std::unique_ptr<InstanceLock>(new InstanceLock(fd));
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return nullptr;
    throw CaldrovexError("The host could not lock " + file.string() + " (" + std::strerror(error) +
                         ").");
}

InstanceLock::~InstanceLock() {
    ::close(fd_);
}

void InstanceLock::requirePrivateFolder(const std::filesystem::path& folder) {
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid() || (info.st_mode & 077) != 0)
        throw CaldrovexError("Orvelo Host needs a private runtime folder: " + folder.string() +
                             " must be a folder of yours that others cannot open (set "
                             "XDG_RUNTIME_DIR, as a desktop or systemd session does).");
}

}  // namespace caldrovex::platform
