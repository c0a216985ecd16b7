#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/Queue.h"
#include "platform/net/Connection.h"

namespace caldrovex::relay {

// A started connection on which the relay keeps one read outstanding while nobody else reads,
// so that a waiting link that goes away (or speaks out of turn) is noticed at once. Once the
// link is spliced, that same read becomes the first read of the splice: its bytes go to the
// first reader, in order, and nothing read is lost or read twice.
//
// Everything else passes through to the connection. Contract: the relay service's queue only
// (the connection runs on it); readers ask for at least one byte.
class WatchedConnection final : public platform::net::Connection,
                                public std::enable_shared_from_this<WatchedConnection> {
public:
    // What the outstanding read brought while nobody was reading.
    struct Activity {
        bool bytes = false;
        bool ended = false;  // the end of the stream, or an error
    };

    // What the watch read asks for at most: a link that waits for minutes should hold a small
    // buffer, and a spliced one reads in full chunks from its second read on.
    static constexpr size_t kWatchSize = 1024;

    static std::shared_ptr<WatchedConnection> make(platform::net::ConnectionPtr inner,
                                                   platform::QueuePtr queue);

    // Issues the read; `onActivity` runs on the queue when it completes before anyone read,
    // once. Its result waits for the next `receive`.
    void watch(std::function<void(Activity)> onActivity);

    void setStateHandler(StateHandler handler) override;
    platform::net::State state() const override { return inner_->state(); }
    void start(platform::QueuePtr queue) override { inner_->start(std::move(queue)); }
    void send(platform::net::Bytes content, SendCompletion completion) override;
    void sendEndOfStream(SendCompletion completion) override;
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override;
    void cancel() override { inner_->cancel(); }
    std::optional<platform::net::Endpoint> remoteEndpoint() const override {
        return inner_->remoteEndpoint();
    }
    std::vector<platform::net::CertificateDer> peerCertificates() const override {
        return inner_->peerCertificates();
    }

private:
    struct Result {
        std::optional<platform::net::Bytes> data;
        bool isComplete = false;
        std::optional<platform::net::NetError> error;
    };
    struct Reader {
        size_t maximum;
        ReceiveCompletion completion;
    };

    WatchedConnection(platform::net::ConnectionPtr inner, platform::QueuePtr queue);

    void watched(Result result);
    void deliver(Reader reader);

    platform::net::ConnectionPtr inner_;
    platform::QueuePtr queue_;
    bool watching_ = false;
    std::function<void(Activity)> onActivity_;
    std::optional<Result> held_;
    std::optional<Reader> reader_;
};

}  // namespace caldrovex::relay
