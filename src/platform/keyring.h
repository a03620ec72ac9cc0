#pragma once

#include <QString>

#include <optional>

/// The proxy password in the desktop's keyring (the Secret Service), never in a file of ours.
namespace keyring {

/// The answer of the keyring: the secret (empty when none is stored), or why none answered.
struct Answer
{
    bool answered = false;
    QString secret;
    QString why;
};

/// The password stored for the proxy user; waits for the keyring at most a few seconds.
Answer readProxyPassword(const QString &user);
/// Stores the password for the proxy user (an empty one removes it); false when no keyring took it.
bool storeProxyPassword(const QString &user, const QString &password, QString *why);

} // namespace keyring
