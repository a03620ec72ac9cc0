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
// The headers of an answer are complete: what it is, and whether its body is kept.
bool Inet::Transfer::answerBegins()
{
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    status = int(code);
    if (status >= 100 && status < 200)
        return true;   // an interim answer; the real one follows
    if (status >= 300 && status < 400 && !headerValue(headers, "Location").isEmpty())
        return redirectAllowed();   // libcurl follows it: its body is not the answer
    finalAnswer = true;
    if (status == 407)
        return refuse(Stop::ProxyAuth, QStringLiteral("The proxy asks for a user name and password (HTTP 407)"));
    if (retrypolicy::isRetryableStatus(status))
        return notNow();
    // Requests here carry no If-None-Match or If-Modified-Since, and If-Range never earns a 304:
    // one is a server's fault, worth another try, never the end of the series.
    if (status == 304)
        return refuse(Stop::Incomplete, QStringLiteral("The server answered 304 Not Modified to a request without a condition"));
    if (resumeFrom > 0)
        return resumedAnswer();
    if (status == 206)
        return refuse(Stop::Incomplete, QStringLiteral("The server sent a part (%1) where the whole file was asked for")
                                            .arg(QString::fromLatin1(headerValue(headers, "Content-Range"))));
    return firstAnswer();
}

// A busy or failing server's page says why; it is never kept, whatever its type.
bool Inet::Transfer::notNow()
{
    retryStatus = true;
    retryAfter = retrypolicy::retryAfterMs(headerValue(headers, "Retry-After"));
    return true;
}

// An answer with a whole body: kept when its type is wanted; whether it is a picture is for
// the caller to say from its status.
bool Inet::Transfer::firstAnswer()
{
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    total = length >= 0 ? qint64(length) : -1;
    if (!request.wanted || !request.wanted(QString::fromLatin1(headerValue(headers, "Content-Type")))) {
        part.remove();
        return true;
    }
    if (total > owner->m_bodyLimit)
        return refuse(Stop::TooLarge, QStringLiteral("Answer of %1 bytes is larger than the limit of %2")
                                          .arg(total).arg(sizeText(owner->m_bodyLimit)));
    const bool ready = part.isValid() ? part.restart(&keepFailure)
                                      : (part = PartFile::create(request.folder, &keepFailure)).isValid();
    if (!ready) {
        stop = Stop::KeepFailed;
        return false;
    }
    // Only the file itself is worth resuming, never a page about it.
    if (status == 200)
        rememberValidator();
    else
        validator.clear();
    firstHeaders = headers;
    firstTotal = total;
    wanted = true;
    return true;
}

// The answer to a Range request: it carries on the part only when it is the same file and its
// range runs from where the part ends to the end of the file; the whole file again is welcome.
bool Inet::Transfer::resumedAnswer()
{
    if (status == 200) {
        resumeFrom = received = 0;
        return firstAnswer();
    }
    if (status != 206 || !sameFile()) {
        stop = Stop::RangeRefused;
        return false;
    }
    if (!rangeCompletesPart())
        return refuse(Stop::Incomplete, QStringLiteral("The server's range (%1) does not complete the file from byte %2 of %3")
                                            .arg(QString::fromLatin1(headerValue(headers, "Content-Range")))
                                            .arg(resumeFrom).arg(firstTotal));
    total = firstTotal;
    wanted = true;
    return true;
}

// A strong ETag, or else the Last-Modified date, the same as the first answer's.
bool Inet::Transfer::sameFile() const
{
    return headerValue(headers, validatorIsEtag ? "ETag" : "Last-Modified") == validator;
}

bool Inet::Transfer::rangeCompletesPart() const
{
    // "bytes FIRST-LAST/TOTAL"
    const QByteArray range = headerValue(headers, "Content-Range").trimmed();
    if (!range.startsWith("bytes "))
        return false;
    const QByteArray span = range.mid(6).trimmed();
    const qsizetype dash = span.indexOf('-');
    const qsizetype slash = span.indexOf('/');
    if (dash <= 0 || slash <= dash)
        return false;
    bool ok[3] = {};
    const qint64 first = span.left(dash).toLongLong(&ok[0]);
    const qint64 last = span.mid(dash + 1, slash - dash - 1).toLongLong(&ok[1]);
    const qint64 size = span.mid(slash + 1).toLongLong(&ok[2]);
    return ok[0] && ok[1] && ok[2] && first == resumeFrom && size == firstTotal && last == size - 1;
}

bool Inet::Transfer::refuse(Stop why, const QString &text)
{
    stop = why;
    stopText = text;
    return false;
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
