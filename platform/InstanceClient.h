#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace caldrovex::platform {

// The other end of the running host's command socket (see InstanceServer): sends one request
// line and waits for the one reply line. Blocking, for a short-lived command-line process;
// any thread.
class InstanceClient {
public:
    InstanceClient() = delete;

    // The reply (without its line end), or nullopt when no host listens at `socket` (no file,
    // or nobody accepting on it). Throws CaldrovexError when the host does not answer within
    // `seconds`, or the exchange breaks off.
    static std::optional<std::string> exchange(const std::filesystem::path& socket,
                                               const std::string& request, double seconds);
};

}  // namespace caldrovex::platform
