#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
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
// `paste` types text the keyboard layout has no key for: the compositor types a keysym only
// through a key of its layout, so the text goes through the clipboard and the application's
// paste instead, and the clipboard gets its content back afterwards.
//
// Contract: `enable` and `detach` run on the bus thread, where the compositor's requests are
// answered too; `text`, `setText` and `paste` may be called from any thread but the bus thread.
// After `detach` (the session ended), reads find nothing and writes are kept for nobody.
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

    // Offers `text` on the clipboard, runs `pressPaste` (which sends the paste keys), waits
    // until an application read the text, then gives the clipboard back the text it held
    // (or empties it again). Each wait lasts at most kTransferTimeoutMs. False, with nothing
    // changed, when the clipboard holds something other than text (a picture, files), which
    // could not be given back, or when the compositor refuses the text.
    //
    // The compositor's own copy of clipboard text is read as the text is offered; the paste
    // is the first read after that. GNOME puts its copy of the last text back on a clipboard
    // left empty, so an empty clipboard ends up holding the pasted text. An application that reads
    // every new clipboard at once (a clipboard manager) can come first, and the paste may then get
    // the restored text.
    bool paste(const std::string& text, const std::function<void()>& pressPaste);

private:
    void subscribe();
    void ownerChanged(GVariant* options);
    void transfer(const char* mimeType, uint32_t serial);
    std::optional<std::string> readAs(const std::string& mimeType);
    bool offerForPaste(const std::string& text);
    std::optional<uint64_t> caughtUp();
    void restore(const std::optional<std::string>& saved);

    std::shared_ptr<MutterBus> bus_;
    std::string sessionPath_;

    std::mutex mutex_;
    ConnectionPtr connection_;  // guarded by mutex_; a reference of our own, null once detached
    std::vector<std::string> offered_;     // guarded by mutex_: the owner's types
    bool ownedBySession_ = false;          // guarded by mutex_
    std::string ownText_;                  // guarded by mutex_: what the session offers
    uint64_t transfers_ = 0;               // guarded by mutex_: the compositor's reads served
    std::condition_variable transferred_;  // signalled when transfers_ grows
    std::vector<unsigned> subscriptions_;  // bus thread only
};

}  // namespace caldrovex::platform
