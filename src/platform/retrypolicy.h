#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

/// When a failed try is worth another, and how long to wait before it.
namespace retrypolicy {

/// Waits before another try: 1 s doubled each time up to the first; a server's Retry-After up to
/// the second.
inline constexpr int maxBackOffMs = 30000;
inline constexpr int maxRetryAfterMs = 60000;

/// A libcurl failure of the moment: the same address may well work a little later.
bool isPassing(int curlCode);
/// An answer that says "not now" rather than "not here".
bool isRetryableStatus(int status);
/// The status with its reason phrase, for the log.
QString statusText(int status);
/// Retry-After as seconds or as an HTTP date, in ms from now and capped; -1 when absent or
/// unreadable.
int retryAfterMs(const QByteArray &value, const QDateTime &now = QDateTime::currentDateTimeUtc());
/// The wait before the next try when the server names none: 1 s, doubled with each try made.
int backOffMs(int tries);

} // namespace retrypolicy
