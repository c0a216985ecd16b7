#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QLocalServer;
class QLocalSocket;

namespace caldrovex::platform {

// The running host's door for later launches by the same user: a unix socket in the user's
// private runtime folder. Each client sends one request line and gets one reply line back,
// then the connection closes. Only processes of the same user are answered (the peer's
// credentials are checked, on top of the socket's owner-only mode and the private folder).
//
// The caller holds the instance lock, so any file already at the path is a stale socket of a
// host that ended without removing it; it is replaced.
//
// GUI thread only (Qt event loop). `onRequest` runs there and must not destroy the server.
class InstanceServer final : public QObject {
    Q_OBJECT

public:
    // A request longer than this is not read; the client is dropped.
    static constexpr qint64 kLongestRequest = 64 * 1024;
    // A client that has not sent its line by then is dropped.
    static constexpr int kRequestMilliseconds = 10'000;

    // Listens at `path`; throws CaldrovexError when it cannot.
    explicit InstanceServer(const std::string& path);
    // Stops listening and removes the socket file.
    ~InstanceServer() override;

    // One request line (without its line end) → the reply line (without its line end).
    std::function<std::string(const std::string& request)> onRequest;

private:
    void accept();
    void read(QLocalSocket* socket);

    std::unique_ptr<QLocalServer> server_;
};

}  // namespace caldrovex::platform
