#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace caldrovex::platform {

// Whether a folder is private to the current user: owned by this process's real user, and
// giving nothing to group or others. A unix socket placed in such a folder can be reached by
// this user alone, whatever the socket file's own mode says.
//
// Pure apart from the file-system lookup; callable from any thread.
class PrivateFolder {
public:
    enum class Verdict { isPrivate, notPrivate };

    // The verdict on `folder` (symbolic links followed, as a later bind follows them). Throws
    // std::system_error when the folder's attributes cannot be read.
    static Verdict check(const std::filesystem::path& folder);
};

}  // namespace caldrovex::platform
