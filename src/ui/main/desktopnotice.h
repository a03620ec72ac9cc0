#pragma once

#include <QString>
#include <QtGlobal>

/// Desktop notifications, through the freedesktop notification service on the session bus.
namespace desktopnotice {

/// A run (or a queue of them) that ends out of sight after this long says so on the desktop.
constexpr qint64 afterMs = 10000;

/// Shows a notification with the program's icon; false where no session bus can be reached.
/// Never starts a bus, never waits for the service and prints nothing, so a machine without
/// one simply shows none.
bool notify(const QString &summary, const QString &body);

} // namespace desktopnotice
