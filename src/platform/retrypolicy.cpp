#include "platform/retrypolicy.h"

#include <curl/curl.h>

#include <algorithm>

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
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        // Read digit by digit, so that no count of seconds can overflow: past the cap it stays.
        qint64 ms = 0;
        for (const char c : text) {
            ms = ms * 10 + (c - '0') * 1000;
            if (ms >= maxRetryAfterMs)
                return maxRetryAfterMs;
        }
        return int(ms);
    }
    // An HTTP date in any of its three forms (IMF-fixdate, RFC 850, asctime), read by libcurl's
    // own date reader; a date in the past means now.
    const time_t when = curl_getdate(text.constData(), nullptr);
    if (when == time_t(-1))
        return -1;
    const qint64 ms = (qint64(when) - now.toSecsSinceEpoch()) * 1000;
    return int(qBound(qint64(0), ms, qint64(maxRetryAfterMs)));
}

int backOffMs(int tries)
{
    return int(qMin<qint64>(qint64(1000) << qMin(tries - 1, 16), maxBackOffMs));
}

} // namespace retrypolicy
