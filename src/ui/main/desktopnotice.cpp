#include "ui/main/desktopnotice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>

namespace desktopnotice {

bool notify(const QString &summary, const QString &body)
{
    // Without a bus address or the user's bus socket, the D-Bus library would try to launch a
    // bus of its own for the session.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")
        && (runtime.isEmpty() || !QFileInfo::exists(runtime + QStringLiteral("/bus"))))
        return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // application, replaces id, icon, summary, body, actions, hints, time-out (-1: the server's)
    call << QStringLiteral("Seriograb") << uint(0) << QStringLiteral("seriograb") << summary << body
         << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("seriograb")}} << int(-1);
    // Sent without waiting for the answer: where no service runs, the bus's refusal is dropped.
    return bus.send(call);
}

} // namespace desktopnotice
