#include "platform/PrivateFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace caldrovex::platform {

PrivateFolder::Verdict PrivateFolder::check(const std::filesystem::path& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0)
        throw std::system_error(errno, std::generic_category(),
                                "The folder " + folder.string() + " cannot be read");
    const bool owned = info.st_uid == ::getuid();
    const bool closed = (info.st_mode & 077) == 0;
    return S_ISDIR(info.st_mode) && owned && closed ? Verdict::isPrivate : Verdict::notPrivate;
}

}  // namespace caldrovex::platform
