#include "platform/inet.h"

#include <QEventLoop>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScopeGuard>
#include <QUrl>

#include <new>
#include <utility>

namespace {

constexpr qint64 readAheadBytes = qint64(4) * 1024 * 1024;

bool isWebScheme(const QString &scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

// Qt turns HTTP error statuses into reply errors; the server did answer, so these are answers
// with headers and a body, not failed transfers.
bool isHttpAnswer(const QNetworkReply &reply)
{
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    const int error = reply.error();
    return error == QNetworkReply::NoError
        || (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || error == QNetworkReply::ProtocolInvalidOperationError
        || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

QString sizeText(qint64 bytes)
{
    constexpr qint64 mib = 1024 * 1024;
    if (bytes >= mib && bytes % mib == 0)
        return QStringLiteral("%1 MiB").arg(bytes / mib);
    return QStringLiteral("%1 bytes").arg(bytes);
}

const QString canceledText = QStringLiteral("Operation canceled");

constexpr int maxRedirects = 10;

} // namespace

Inet::Inet(QObject *parent)
    : QObject(parent)
{
    m_manager.setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

Inet::~Inet()
{
    // A waiting OpenURL notices through its guard that the control is gone and returns.
    Cancel();
}

QString Inet::GetHeader(const QString &name) const
{
    const QByteArray wanted = name.toLatin1();
    for (const auto &[key, value] : m_headers) {
        if (key.compare(wanted, Qt::CaseInsensitive) == 0)
            return QString::fromLatin1(value);
    }
    return QString();
}

void Inet::Cancel()
{
    if (!m_busy)
        return;
    m_cancelled = true;
    if (m_lookupId != -1) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    if (m_reply)
        m_reply->abort();
    if (m_loop)
        m_loop->quit();
}

QByteArray Inet::OpenURL(const QString &url, int dataType)
{
    // Only data type 1 (bytes) is asked for; the body is returned as bytes for every type.
    Q_UNUSED(dataType)
    if (m_busy)
        return QByteArray();

    QPointer<Inet> self(this);
    m_busy = true;
    const auto idle = qScopeGuard([self] {
        if (self)
            self->m_busy = false;
    });

    m_headers.clear();
    m_body = QByteArray();
    m_responseCode = 0;
    m_responseInfo.clear();
    m_cancelled = false;
    m_abandonCode = 0;
    m_abandonText.clear();

    if (url.trimmed().isEmpty()) {
        fail(QNetworkReply::HostNotFoundError, QStringLiteral("No address given"));
        return QByteArray();
    }
    // An address typed without a scheme is meant for the web, as a browser would take it.
    const QUrl target = url.contains(QLatin1String("://")) ? QUrl(url) : QUrl::fromUserInput(url);
    if (!isWebScheme(target.scheme())) {
        fail(QNetworkReply::ProtocolUnknownError,
             QStringLiteral("Only http and https addresses can be fetched: %1").arg(url));
        return QByteArray();
    }
    if (!target.isValid() || target.host().isEmpty()) {
        fail(QNetworkReply::HostNotFoundError, QStringLiteral("Not a valid address: %1").arg(url));
        return QByteArray();
    }

    QString host = target.host();
    if (!useProxyFor(&host))
        return QByteArray();

    emit StateChanged(ResolvingHost);
    if (!self)
        return QByteArray();
    if (!lookUp(host) || !self)
        return QByteArray();

    emit StateChanged(HostResolved);
    if (!self)
        return QByteArray();
    if (m_cancelled) {
        fail(QNetworkReply::OperationCanceledError, canceledText);
        return QByteArray();
    }
    return fetch(target);
}

// Sets the manager's proxy for this transfer; with a proxy, the host to look up is the proxy's.
bool Inet::useProxyFor(QString *hostToLookUp)
{
    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (m_accessType == NamedProxy) {
        const qsizetype colon = m_proxy.lastIndexOf(QLatin1Char(':'));
        QString host = m_proxy.left(colon).trimmed();
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
        const QString portText = colon < 0 ? QString() : m_proxy.mid(colon + 1).trimmed();
        bool isNumber = false;
        const qlonglong port = portText.toLongLong(&isNumber);
        if (colon < 0 || host.isEmpty()) {
            fail(QNetworkReply::ProxyNotFoundError,
                 QStringLiteral("Proxy \"%1\" is not a server name and port").arg(m_proxy));
            return false;
        }
        if (!isNumber || port < 1 || port > 65535) {
            fail(QNetworkReply::ProxyNotFoundError,
                 QStringLiteral("Proxy port \"%1\" is not a port from 1 to 65535").arg(portText));
            return false;
        }
        proxy = QNetworkProxy(QNetworkProxy::HttpProxy, host, quint16(port));
        *hostToLookUp = host;
    }
    // Changing the manager's proxy only when it differs keeps its open connections usable.
    if (!(m_manager.proxy() == proxy))
        m_manager.setProxy(proxy);
    return true;
}

bool Inet::lookUp(const QString &host)
{
    if (m_cancelled) {
        fail(QNetworkReply::OperationCanceledError, canceledText);
        return false;
    }
    QPointer<Inet> self(this);
    QEventLoop loop;
    m_loop = &loop;
    m_lookupDone = false;
    m_lookupFound = false;
    m_lookupError.clear();
    const quint64 ticket = ++m_lookupTicket;
    const int id = QHostInfo::lookupHost(host, this, [this, ticket](const QHostInfo &info) {
        if (ticket != m_lookupTicket || m_lookupDone)
            return;
        m_lookupDone = true;
        m_lookupId = -1;
        m_lookupFound = info.error() == QHostInfo::NoError && !info.addresses().isEmpty();
        m_lookupError = info.error() == QHostInfo::NoError ? QStringLiteral("Host not found")
                                                           : info.errorString();
        if (m_loop)
            m_loop->quit();
    });
    if (!m_lookupDone)
        m_lookupId = id;
    if (!m_lookupDone && !m_cancelled)
        loop.exec();
    if (!self)
        return false;
    m_loop = nullptr;
    if (m_lookupId != -1) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    ++m_lookupTicket; // a late answer to this look-up is ignored

    if (m_cancelled) {
        fail(QNetworkReply::OperationCanceledError, canceledText);
        return false;
    }
    if (!m_lookupFound) {
        fail(m_accessType == NamedProxy ? QNetworkReply::ProxyNotFoundError
                                        : QNetworkReply::HostNotFoundError,
             QStringLiteral("%1: %2").arg(host, m_lookupError));
        return false;
    }
    return true;
}

// Follows redirects itself, one request per hop, so every hop is checked and the headers
// handed out are always those of the final answer.
QByteArray Inet::fetch(const QUrl &url)
{
    QUrl target = url;
    for (int hop = 0;; ++hop) {
        QUrl next;
        const Hop outcome = fetchOnce(target, &next);
        if (outcome == Hop::Answer)
            return std::exchange(m_body, QByteArray());
        if (outcome != Hop::Redirect)
            return QByteArray();
        if (!isWebScheme(next.scheme())) {
            fail(QNetworkReply::InsecureRedirectError,
                 QStringLiteral("Redirect to %1 refused").arg(next.toDisplayString()));
            return QByteArray();
        }
        if (target.scheme() == QLatin1String("https") && next.scheme() == QLatin1String("http")) {
            fail(QNetworkReply::InsecureRedirectError,
                 QStringLiteral("Redirect from https to %1 refused").arg(next.toDisplayString()));
            return QByteArray();
        }
        if (hop == maxRedirects) {
            fail(QNetworkReply::TooManyRedirectsError,
                 QStringLiteral("More than %1 redirects").arg(maxRedirects));
            return QByteArray();
        }
        target = next;
    }
}

Inet::Hop Inet::fetchOnce(const QUrl &url, QUrl *redirect)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(m_stallTimeout);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // The body is kept exactly as the server holds it, so no compressed transfer is asked for.
    request.setRawHeader("Accept-Encoding", "identity");

    QPointer<Inet> self(this);
    QEventLoop loop;
    m_body = QByteArray();
    QNetworkReply *reply = m_manager.get(request);
    // The network thread reads ahead no further than this, so a large body is held once (in
    // m_body) and not a second time in pieces waiting for this thread.
    reply->setReadBufferSize(readAheadBytes);
    m_reply = reply;
    connect(reply, &QNetworkReply::readyRead, this, &Inet::takeBody);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    m_loop = &loop;
    if (!reply->isFinished())
        loop.exec();
    if (!self)
        return Hop::Gone;
    m_loop = nullptr;
    if (!m_cancelled)
        takeBody();
    m_reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();

    if (m_cancelled) {
        fail(QNetworkReply::OperationCanceledError, canceledText);
        return Hop::Failed;
    }
    if (m_abandonCode != 0) {
        fail(m_abandonCode, m_abandonText);
        return Hop::Failed;
    }
    if (!isHttpAnswer(*reply)) {
        // Our own Cancel was handled above, so a cancel here is Qt's stall time-out.
        if (reply->error() == QNetworkReply::OperationCanceledError)
            fail(QNetworkReply::TimeoutError,
                 QStringLiteral("No data received for %1 ms").arg(m_stallTimeout));
        else
            fail(reply->error(), reply->errorString());
        return Hop::Failed;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if ((status == 301 || status == 302 || status == 303 || status == 307 || status == 308)
        && location.isValid() && !location.isEmpty()) {
        *redirect = reply->url().resolved(location);
        m_body = QByteArray();
        return Hop::Redirect;
    }
    // Qt can take a reset connection for the end of the body; a body shorter than the length
    // the server declared is incomplete, and an incomplete body is never handed out.
    bool known = false;
    const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    if (known && m_body.size() < declared && (encoding.isEmpty() || encoding == "identity")) {
        fail(QNetworkReply::RemoteHostClosedError,
             QStringLiteral("Connection closed after %1 of %2 bytes").arg(m_body.size()).arg(declared));
        return Hop::Failed;
    }
    m_headers = reply->rawHeaderPairs();
    return Hop::Answer;
}

void Inet::takeBody()
{
    QNetworkReply *reply = m_reply;
    if (!reply || m_abandonCode != 0)
        return;
    const qint64 available = reply->bytesAvailable();
    if (available <= 0)
        return;
    if (m_body.isEmpty()) {
        bool known = false;
        const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (known && declared > m_bodyLimit) {
            abandon(QNetworkReply::UnknownContentError,
                    QStringLiteral("Answer of %1 bytes is larger than the limit of %2")
                        .arg(declared).arg(sizeText(m_bodyLimit)));
            return;
        }
        // Room for the whole declared body at once: growing in steps copies the body each time
        // and holds the old and the new array together, up to three times its size at the peak.
        // Reserved pages that a short answer never fills are never touched, so they cost nothing.
        if (known && declared > 0) {
            try {
                m_body.reserve(declared);
            } catch (const std::bad_alloc &) {
                // then it grows as it comes, and the append below reports a real shortage
            }
        }
    }
    if (m_body.size() + available > m_bodyLimit) {
        abandon(QNetworkReply::UnknownContentError,
                QStringLiteral("Answer is larger than the limit of %1").arg(sizeText(m_bodyLimit)));
        return;
    }
    try {
        // Straight from the reply's buffer into the body: readAll would first gather the
        // waiting pieces into one more array of their own.
        const qsizetype had = m_body.size();
        m_body.resize(had + available);
        const qint64 got = reply->read(m_body.data() + had, available);
        m_body.resize(had + qMax<qint64>(got, 0));
    } catch (const std::bad_alloc &) {
        abandon(QNetworkReply::UnknownContentError,
                QStringLiteral("Not enough memory for the answer"));
    }
}

// Ends the reply from inside the transfer, remembering why it failed.
void Inet::abandon(qint32 code, const QString &text)
{
    m_abandonCode = code;
    m_abandonText = text;
    m_body = QByteArray();
    if (m_reply)
        m_reply->abort();
}

void Inet::fail(qint32 code, const QString &text)
{
    m_headers.clear();
    m_body = QByteArray();
    m_responseCode = code;
    m_responseInfo = text;
    emit StateChanged(Error);
}
