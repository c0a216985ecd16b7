#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "adapters/mutter/GioHandles.h"
#include "adapters/mutter/MutterBus.h"

namespace caldrovex::platform {

// The desktop's clipboard as one remote-desktop session reaches it, plain text only.
//
// Reading asks the compositor for the current owner's text (SelectionRead gives a pipe the
// compositor fills from the owning application). Writing makes the session the clipboard's
// owner for the text types; when an application pastes, the compositor asks for the content
// (SelectionTransfer) and the session writes it into a pipe of the compositor's
// (SelectionWrite, SelectionWriteDone).
//
// Contract: `enable` and `detach` run on the bus thread, where the compositor's requests are
// answered too; `text` and `setText` may be called from any thread. After `detach` (the session
// ended), reads find nothing and writes are kept for nobody.
class MutterSessionClipboard : public std::enable_shared_from_this<MutterSessionClipboard> {
public:
    // How long a read waits for the owning application's text, and a write for the
    // compositor to take it.
    static constexpr int kTransferTimeoutMs = 2000;
    // Clipboard text longer than this is cut: far more than a device is ever sent.
    static constexpr size_t kLongestText = 4 * 1024 * 1024;

    // Enables the clipboard of the session at `sessionPath`; null when the running compositor
    // offers no clipboard methods to remote sessions (older versions), or refuses.
    static std::shared_ptr<MutterSessionClipboard> enable(std::shared_ptr<MutterBus> bus,
                                                          GDBusConnection* connection,
                                                          const std::string& sessionPath);

    MutterSessionClipboard(std::shared_ptr<MutterBus> bus, GDBusConnection* connection,
                           std::string sessionPath);

    void detach();

    std::optional<std::string> text();
    void setText(const std::string& text);

private:
    void subscribe();
    void ownerChanged(GVariant* options);
    void transfer(const char* mimeType, uint32_t serial);
    std::optional<std::string> readAs(const std::string& mimeType);

    std::shared_ptr<MutterBus> bus_;
    std::string sessionPath_;

    std::mutex mutex_;
    ConnectionPtr connection_;  // guarded by mutex_; a reference of our own, null once detached
    std::vector<std::string> offered_;     // guarded by mutex_: the owner's types
    bool ownedBySession_ = false;          // guarded by mutex_
    std::string ownText_;                  // guarded by mutex_: what the session offers
    std::vector<unsigned> subscriptions_;  // bus thread only
};

}  // namespace caldrovex::platform
