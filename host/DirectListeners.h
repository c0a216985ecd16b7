#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Queue.h"
#include "platform/net/Connection.h"

namespace caldrovex {

// The TLS listeners on the served private addresses, one per address on its own queue
// ("caldrovex.listener." + address), and what each reported: ready, failed and why, or
// accepting paused for want of file descriptors. The controller chooses the addresses and
// publishes what this part knows, so that the host never calls itself reachable while nothing
// listens, and says why not.
//
// A listener that fails (or waits) is dropped at once; the controller's periodic address
// refresh opens it again. Its reason is kept until a listener on that address is ready or the
// address is no longer served, so the retries do not make the message come and go. A pause
// is shown at once and forgotten only after accepting went on for kPauseNoticeSeconds without
// another one: a flood that pauses and resumes many times a second does not make it flicker.
//
// Contract: made with `make` and owned by the controller, on its main queue; every method is
// called there. Listener reports are posted to the main queue and hold this part weakly.
// `onConnection` and `onChange` run there and must not destroy it.
class DirectListeners : public std::enable_shared_from_this<DirectListeners> {
public:
    using MakeListener =
        std::function<platform::net::ListenerPtr(const platform::net::Parameters&)>;
    using MakeQueue = std::function<platform::QueuePtr(const std::string& label)>;
    using MakeParameters = std::function<platform::net::Parameters()>;

    // How long accepting must go on undisturbed before a pause is no longer shown.
    static constexpr double kPauseNoticeSeconds = 5;

    static std::shared_ptr<DirectListeners> make(platform::QueuePtr mainQueue,
                                                 MakeListener makeListener, MakeQueue makeQueue,
                                                 uint16_t port);

    // Each accepted connection, with the address of the listener it came to.
    std::function<void(platform::net::ConnectionPtr, const std::string& address)> onConnection;
    // A listener's report changed what `anyReady`, `notice` or `failedAddress` say.
    std::function<void()> onChange;

    // Opens a listener on `address` at the port, with the parameters `parameters` gives (their
    // local endpoint set here). When that throws, or making the listener does, no listener is
    // made and the error's text is kept as the address's failure.
    void open(const std::string& address, const MakeParameters& parameters);
    // Closes the listeners of every other address and forgets what those reported.
    void keepOnly(const std::vector<std::string>& addresses);
    void closeAll();

    // A listener exists for `address` (ready or not yet).
    bool serves(const std::string& address) const { return listeners_.count(address) != 0; }
    // Some listener is ready: devices can connect.
    bool anyReady() const;
    // The first served address whose listener failed, when none is ready.
    std::optional<std::string> failedAddress() const;
    // What the user should read: the first failure, else the first pause.
    std::optional<std::string> notice() const;

    std::map<std::string, platform::net::ListenerPtr> listeners() const;

private:
    struct Entry {
        platform::net::ListenerPtr listener;
        bool ready = false;
    };
    struct Pause {
        std::string reason;
        // Accepting resumed; the notice goes when `generation` is still this one later.
        bool resumed = false;
        uint64_t generation = 0;
    };

    DirectListeners(platform::QueuePtr mainQueue, MakeListener makeListener, MakeQueue makeQueue,
                    uint16_t port);

    void wire(const std::string& address, const platform::net::ListenerPtr& listener);
    void stateChanged(const std::string& address, const platform::net::ListenerPtr& listener,
                      const platform::net::State& state);
    void pauseChanged(const std::string& address, const platform::net::ListenerPtr& listener,
                      const std::optional<platform::net::NetError>& reason);
    void forgetPause(const std::string& address, uint64_t generation);
    void drop(const std::string& address);
    bool isCurrent(const std::string& address, const platform::net::ListenerPtr& listener) const;
    void changed();

    const platform::QueuePtr mainQueue_;
    const MakeListener makeListener_;
    const MakeQueue makeQueue_;
    const uint16_t port_;

    std::map<std::string, Entry> listeners_;
    // Served addresses whose last listener failed: the sentence to show.
    std::map<std::string, std::string> failures_;
    std::map<std::string, Pause> pauses_;
    uint64_t pauseGeneration_ = 0;
    // In the order `open` was asked, for the notice and the status.
    std::vector<std::string> order_;
};

}  // namespace caldrovex
