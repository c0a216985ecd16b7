#include "adapters/dbus/LogindSession.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QString>

#include <unistd.h>
#include <cstdlib>

namespace caldrovex::platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// The object path of this login session, empty when logind does not know it.
QString sessionPath() {
    QDBusInterface logind(kService, kManagerPath, kManager, QDBusConnection::systemBus());
    if (!logind.isValid()) return {};
    const char* id = std::getenv("XDG_SESSION_ID");
    QDBusReply<QDBusObjectPath> reply =
        id && *id ? logind.call(QStringLiteral("GetSession"), QString::fromUtf8(id))
                  : logind.call(QStringLiteral("GetSessionByPID"), static_cast<uint>(getpid()));
    return reply.isValid() ? reply.value().path() : QString();
}

}  // namespace

QDBusUnixFileDescriptor LogindSession::inhibit(const std::string& what, const std::string& who,
                                               const std::string& why) {
    QDBusInterface logind(kService, kManagerPath, kManager, QDBusConnection::systemBus());
    if (!logind.isValid()) return {};
    QDBusReply<QDBusUnixFileDescriptor> reply = logind.call(
        QStringLiteral("Inhibit"), QString::fromStdString(what), QString::fromStdString(who),
        QString::fromStdString(why), QStringLiteral("block"));
    return reply.isValid() ? reply.value() : QDBusUnixFileDescriptor();
}

bool LogindSession::lockedHint() {
    const QString path = sessionPath();
    if (path.isEmpty()) return false;
    QDBusInterface properties(kService, path, kProperties, QDBusConnection::systemBus());
    QDBusReply<QDBusVariant> reply =
        properties.call(QStringLiteral("Get"), kSession, QStringLiteral("LockedHint"));
    if (!reply.isValid()) return false;
    const QVariant value = reply.value().variant();
    return value.typeId() == QMetaType::Bool && value.toBool();
}

}  // namespace caldrovex::platform
