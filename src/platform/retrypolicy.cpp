#include "platform/retrypolicy.h"

#include <curl/curl.h>

namespace retrypolicy {

bool isPassing(int curlCode)
{
    switch (curlCode) {
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

bool isRetryableStatus(int status)
{
    switch (status) {
    case 408: case 429: case 500: case 502: case 503: case 504:
        return true;
    default:
        return false;
    }
}

QString statusText(int status)
{
    switch (status) {
    case 408: return QStringLiteral("HTTP 408 Request Timeout");
    case 429: return QStringLiteral("HTTP 429 Too Many Requests");
    case 500: return QStringLiteral("HTTP 500 Internal Server Error");
    case 502: return QStringLiteral("HTTP 502 Bad Gateway");
    case 503: return QStringLiteral("HTTP 503 Service Unavailable");
    case 504: return QStringLiteral("HTTP 504 Gateway Timeout");
    default: return QStringLiteral("HTTP %1").arg(status);
    }
}

int retryAfterMs(const QByteArray &value, const QDateTime &now)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return -1;
    bool isNumber = false;
    const qlonglong seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? -1 : int(qMin<qlonglong>(seconds * 1000, qlonglong(maxRetryAfterMs)));
    const QDateTime when = QDateTime::fromString(QString::fromLatin1(text), Qt::RFC2822Date);
    if (!when.isValid())
        return -1;
    return int(qBound<qint64>(0, now.msecsTo(when), qint64(maxRetryAfterMs)));
}

int backOffMs(int tries)
{
    return int(qMin<qint64>(qint64(1000) << qMin(tries - 1, 16), maxBackOffMs));
}

} // namespace retrypolicy
