#include "adapters/qt/InstanceServer.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include "platform/CaldrovexError.h"

namespace caldrovex::platform {

namespace {

bool sameUser(QLocalSocket* socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED,
                   &credentials, &size) != 0)
        return false;
    return credentials.uid == getuid();
}

}  // namespace

InstanceServer::InstanceServer(const std::string& path)
    : server_(std::make_unique<QLocalServer>()) {
    const QString name = QString::fromStdString(path);
    QLocalServer::removeServer(name);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name))
        throw CaldrovexError("The host could not open its command socket " + path + " (" +
                             server_->errorString().toStdString() + ").");
    connect(server_.get(), &QLocalServer::newConnection, this, [this] { accept(); });
}

InstanceServer::~InstanceServer() {
    server_->close();
}

void InstanceServer::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!sameUser(socket)) {
            socket->abort();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
        QTimer::singleShot(kRequestMilliseconds, socket, [socket] { socket->abort(); });
        // Bytes may have come with the connection.
        read(socket);
    }
}

void InstanceServer::read(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kLongestRequest) socket->abort();
        return;
    }
    QByteArray line = socket->readLine(kLongestRequest);
    if (!line.endsWith('\n')) return socket->abort();
    line.chop(1);
    // One request per connection.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    std::string reply = onRequest ? onRequest(line.toStdString()) : std::string();
    reply.push_back('\n');
    socket->write(reply.data(), static_cast<qint64>(reply.size()));
    socket->flush();
    socket->disconnectFromServer();
}

}  // namespace caldrovex::platform
