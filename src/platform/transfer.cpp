#include "platform/transfer.h"

#include "platform/retrypolicy.h"

#include <sys/socket.h>

namespace {

QString sizeText(qint64 bytes)
{
    constexpr qint64 mib = 1024 * 1024;
    if (bytes >= mib && bytes % mib == 0)
        return QStringLiteral("%1 MiB").arg(bytes / mib);
    return QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

QByteArray headerValue(const Inet::Headers &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

QString hostAndPort(const QUrl &url)
{
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    return QStringLiteral("%1:%2").arg(url.host()).arg(port);
}

void Inet::Transfer::markResolved()
{
    if (!resolved) {
        resolved = true;
        record(HostResolved);
    }
}

void Inet::Transfer::beginTry()
{
    headers.clear();
    status = 0;
    finalAnswer = wanted = retryStatus = false;
    retryAfter = -1;
    stop = Stop::None;
    stopText.clear();
    received = resumeFrom;
    total = -1;
    bytesIn = 0;
    requestSentAt = -1;
    samples.clear();
    error[0] = 0;
    resolved = false;
    ++tries;
    record(ResolvingHost);
}

// A redirect from https to http would send what followed in the clear; it is refused at
// every hop, whatever the first address was.
bool Inet::Transfer::redirectAllowed()
{
    const char *current = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &current);
    const QUrl from(QString::fromUtf8(current));
    const QUrl to = from.resolved(QUrl(QString::fromUtf8(headerValue(headers, "Location"))));
    if (from.scheme() == QLatin1String("https") && to.scheme() != QLatin1String("https")) {
        stop = Stop::Downgrade;
        stopText = QStringLiteral("Refused a redirect from https to %1: %2")
                           .arg(to.scheme(), to.toDisplayString());
        return false;
    }
    return true;
}

// The answer to a Range request carries on the part only when it is the same file.
bool Inet::Transfer::resumes()
{
    const QByteArray range = headerValue(headers, "Content-Range").trimmed();
    const QByteArray expected = "bytes " + QByteArray::number(resumeFrom) + '-';
    const QByteArray repeated = headerValue(headers, validatorIsEtag ? "ETag" : "Last-Modified");
    return status == 206 && range.startsWith(expected) && repeated == validator;
}

void Inet::Transfer::rememberValidator()
{
    validator.clear();
    if (!headerValue(headers, "Accept-Ranges").toLower().contains("bytes"))
        return;
    // A weak ETag may not stand for the same bytes, so it cannot vouch for a resumed body.
    const QByteArray etag = headerValue(headers, "ETag");
    validatorIsEtag = !etag.isEmpty() && !etag.startsWith("W/");
    validator = validatorIsEtag ? etag : headerValue(headers, "Last-Modified");
}

// The headers of an answer are complete: decide whether its body is kept.
bool Inet::Transfer::answerBegins()
{
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    status = int(code);
    if (code >= 100 && code < 200)
        return true;   // an interim answer; the real one follows
    if (code >= 300 && code < 400 && !headerValue(headers, "Location").isEmpty())
        return redirectAllowed();   // libcurl follows it: its body is not the answer
    finalAnswer = true;
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    if (retrypolicy::isRetryableStatus(status)) {
        retryStatus = true;
        retryAfter = retrypolicy::retryAfterMs(headerValue(headers, "Retry-After"));
        return true;   // a page saying why, never kept
    }
    if (resumeFrom > 0) {
        if (resumes()) {
            total = length >= 0 ? resumeFrom + qint64(length) : -1;
            wanted = true;
            return true;
        }
        if (status != 200) {
            stop = Stop::RangeRefused;
            return false;
        }
        resumeFrom = received = 0;   // the whole file again
    }
    total = length >= 0 ? qint64(length) : -1;
    if (!request.wanted || !request.wanted(QString::fromLatin1(headerValue(headers, "Content-Type")))) {
        part.remove();
        return true;
    }
    if (total > owner->m_bodyLimit) {
        stop = Stop::TooLarge;
        stopText = QStringLiteral("Answer of %1 bytes is larger than the limit of %2")
                           .arg(total).arg(sizeText(owner->m_bodyLimit));
        return false;
    }
    const bool ready = part.isValid() ? part.restart(&keepFailure)
                                      : (part = PartFile::create(request.folder, &keepFailure)).isValid();
    if (!ready) {
        stop = Stop::KeepFailed;
        return false;
    }
    rememberValidator();
    wanted = true;
    return true;
}

size_t Inet::Transfer::onHeader(char *buffer, size_t size, size_t count, void *self)
{
    auto *t = static_cast<Transfer *>(self);
    const size_t n = size * count;
    t->bytesIn += qint64(n);
    QByteArray line(buffer, qsizetype(n));
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.startsWith("HTTP/")) {
        // A new answer: a redirect's or an interim answer's headers are forgotten.
        t->headers.clear();
        t->status = 0;
        t->finalAnswer = false;
        return n;
    }
    if (line.isEmpty())
        return t->finalAnswer || t->answerBegins() ? n : 0;
    if (t->finalAnswer)
        return n;   // trailers of a chunked body
    if ((line.startsWith(' ') || line.startsWith('\t')) && !t->headers.isEmpty()) {
        t->headers.last().second += ' ' + line.trimmed();   // a folded header line
        return n;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon > 0)
        t->headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    return n;
}

size_t Inet::Transfer::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *t = static_cast<Transfer *>(self);
    const size_t n = size * count;
    t->bytesIn += qint64(n);
    if (!t->finalAnswer)
        return n;
    t->received += qint64(n);
    if (!t->wanted) {
        if (t->received <= Inet::discardBytes)
            return n;
        t->stop = Stop::Enough;
        return 0;
    }
    if (t->received > t->owner->m_bodyLimit) {
        t->stop = Stop::TooLarge;
        t->stopText = QStringLiteral("Answer is larger than the limit of %1").arg(sizeText(t->owner->m_bodyLimit));
        return 0;
    }
    if (!t->part.write(data, qint64(n), &t->keepFailure)) {
        t->stop = Stop::KeepFailed;
        return 0;
    }
    return n;
}

// A new connection: the host (or the proxy) was found.
curl_socket_t Inet::Transfer::onOpenSocket(void *self, curlsocktype, curl_sockaddr *address)
{
    static_cast<Transfer *>(self)->markResolved();
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

// The request is about to go out, on a new connection or a kept-alive one: from now on the
// server owes an answer, so the silence clock starts here.
int Inet::Transfer::onRequestReady(void *self, char *, char *, int, int)
{
    auto *t = static_cast<Transfer *>(self);
    t->markResolved();
    t->requestSentAt = t->owner->now();
    t->samples.assign(1, {t->requestSentAt, t->bytesIn});
    return CURL_PREREQFUNC_OK;
}
