#include "platform/inet.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <sys/socket.h>
#include <utility>

namespace {

CURLM *multiOf(void *handle) { return static_cast<CURLM *>(handle); }

bool isWebScheme(const QString &scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString sizeText(qint64 bytes)
{
    constexpr qint64 mib = 1024 * 1024;
    if (bytes >= mib && bytes % mib == 0)
        return QStringLiteral("%1 MiB").arg(bytes / mib);
    return QStringLiteral("%1 bytes").arg(bytes);
}

const QString canceledText = QStringLiteral("Operation canceled");

constexpr long maxRedirects = 10;
constexpr long receiveBuffer = 256 * 1024;

QByteArray headerValue(const Inet::Headers &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return QByteArray();
}

void initialiseCurlOnce()
{
    static const bool done = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    Q_UNUSED(done)
}

} // namespace

// One address on its way: its easy handle, what it went through, and the answer as it arrives.
struct Inet::Transfer
{
    enum class Phase { Running, Answered, Failed };
    // Why a callback ended the transfer early.
    enum class Stop { None, KeepFailed, Enough, TooLarge };
    struct Event
    {
        qint16 state;
        qint32 code = 0;
        QString info;
    };

    Inet *owner = nullptr;
    TransferId id = 0;
    CURL *easy = nullptr;
    Keep keep;
    Phase phase = Phase::Running;
    bool cancelled = false;

    QList<Event> events;        // the states it went through, in order
    qsizetype reported = 0;     // how many of them have been reported
    bool resolved = false;

    Headers headers;            // of the answer being read
    int status = 0;
    bool finalAnswer = false;   // the headers of the answer that is not a redirect are complete
    bool wanted = false;
    PartFile part;
    QString keepError;
    Stop stop = Stop::None;
    QString stopText;
    qint64 received = 0;
    qint64 total = -1;
    qint64 shownReceived = -1;
    qint64 shownTotal = -2;
    QElapsedTimer quiet;        // since the last byte arrived
    char error[CURL_ERROR_SIZE] = {};

    void record(qint16 state, qint32 code = 0, const QString &info = QString())
    {
        events.append(Event{state, code, info});
    }

    void markResolved()
    {
        if (!resolved) {
            resolved = true;
            record(HostResolved);
        }
    }

    // The headers of an answer are complete: decide whether its body is kept.
    bool answerBegins()
    {
        long code = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
        status = int(code);
        if (code >= 100 && code < 200)
            return true;   // an interim answer; the real one follows
        if (code >= 300 && code < 400 && !headerValue(headers, "Location").isEmpty())
            return true;   // libcurl follows it: its body is not the answer
        finalAnswer = true;
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        total = length >= 0 ? qint64(length) : -1;
        if (!keep.wanted || !keep.wanted(QString::fromLatin1(headerValue(headers, "Content-Type"))))
            return true;
        if (total > owner->m_bodyLimit) {
            stop = Stop::TooLarge;
            stopText = QStringLiteral("Answer of %1 bytes is larger than the limit of %2")
                               .arg(total).arg(sizeText(owner->m_bodyLimit));
            return false;
        }
        part = PartFile::create(keep.folder, &keepError);
        if (!part.isValid()) {
            stop = Stop::KeepFailed;
            return false;
        }
        wanted = true;
        return true;
    }

    static size_t onHeader(char *buffer, size_t size, size_t count, void *self)
    {
        auto *t = static_cast<Transfer *>(self);
        const size_t n = size * count;
        t->quiet.restart();
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

    static size_t onBody(char *data, size_t size, size_t count, void *self)
    {
        auto *t = static_cast<Transfer *>(self);
        const size_t n = size * count;
        t->quiet.restart();
        if (!t->finalAnswer)
            return n;
        t->received += qint64(n);
        if (!t->wanted) {
            if (t->received <= discardBytes)
                return n;
            t->stop = Stop::Enough;
            return 0;
        }
        if (t->received > t->owner->m_bodyLimit) {
            t->stop = Stop::TooLarge;
            t->stopText = QStringLiteral("Answer is larger than the limit of %1").arg(sizeText(t->owner->m_bodyLimit));
            return 0;
        }
        if (!t->part.write(data, qint64(n), &t->keepError)) {
            t->stop = Stop::KeepFailed;
            return 0;
        }
        return n;
    }

    // A new connection: the host (or the proxy) was found.
    static curl_socket_t onOpenSocket(void *self, curlsocktype, curl_sockaddr *address)
    {
        static_cast<Transfer *>(self)->markResolved();
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }

    // A kept-alive connection is about to carry the request: the host was found before.
    static int onRequestReady(void *self, char *, char *, int, int)
    {
        static_cast<Transfer *>(self)->markResolved();
        return CURL_PREREQFUNC_OK;
    }
};

Inet::Inet(QObject *parent)
    : QObject(parent)
{
    initialiseCurlOnce();
    m_multi = curl_multi_init();
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_SOCKETFUNCTION, &Inet::socketCallback);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_TIMERFUNCTION, &Inet::timerCallback);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_TIMERDATA, this);
    setMaxConnections(4);
    // Every transfer has an easy handle of its own, which would otherwise keep its TLS sessions
    // to itself: a new connection to a host then needs a whole handshake again.
    m_share = curl_share_init();
    curl_share_setopt(static_cast<CURLSH *>(m_share), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);

    // The body is kept exactly as the server holds it, so no compressed transfer is asked for.
    m_requestHeaders = curl_slist_append(nullptr, "Accept-Encoding: identity");

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
    m_stallTimer = new QTimer(this);
    setStallTimeout(stallTimeoutMs);
    connect(m_stallTimer, &QTimer::timeout, this, &Inet::checkStalls);
}

Inet::~Inet()
{
    for (auto &[id, t] : m_transfers) {
        if (t->easy) {
            curl_multi_remove_handle(multiOf(m_multi), t->easy);
            curl_easy_cleanup(t->easy);
            t->easy = nullptr;
        }
    }
    m_transfers.clear();
    // A waiting wait() notices through its guard that the control is gone and returns.
    if (m_loop)
        m_loop->quit();
    for (const Watch &w : std::as_const(m_sockets)) {
        delete w.read;
        delete w.write;
    }
    m_sockets.clear();
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(multiOf(m_multi));
    curl_share_cleanup(static_cast<CURLSH *>(m_share));
    curl_slist_free_all(static_cast<curl_slist *>(m_requestHeaders));
}

void Inet::setStallTimeout(int ms)
{
    m_stallTimeout = ms;
    m_stallTimer->setInterval(qBound(10, ms / 10, 1000));
}

void Inet::setMaxConnections(int connections)
{
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_MAX_HOST_CONNECTIONS, long(connections));
}

Inet::Transfer *Inet::find(TransferId id) const
{
    const auto it = m_transfers.find(id);
    return it == m_transfers.end() ? nullptr : it->second.get();
}

bool Inet::isRunning(TransferId id) const
{
    const Transfer *t = find(id);
    return t && t->phase == Transfer::Phase::Running;
}

QString Inet::GetHeader(const QString &name) const
{
    return QString::fromLatin1(headerValue(m_last.headers, name.toLatin1()));
}

Inet::TransferId Inet::start(const QString &url, const Keep &keep)
{
    auto owned = std::make_unique<Transfer>();
    Transfer &t = *owned;
    t.owner = this;
    t.id = ++m_nextId;
    t.keep = keep;
    t.quiet.start();
    m_transfers.emplace(t.id, std::move(owned));

    if (url.trimmed().isEmpty()) {
        failBeforeStart(t, CURLE_URL_MALFORMAT, QStringLiteral("No address given"));
        return t.id;
    }
    // An address typed without a scheme is meant for the web, as a browser would take it.
    const QUrl target = url.contains(QLatin1String("://")) ? QUrl(url) : QUrl::fromUserInput(url);
    if (!isWebScheme(target.scheme())) {
        failBeforeStart(t, CURLE_UNSUPPORTED_PROTOCOL,
                        QStringLiteral("Only http and https addresses can be fetched: %1").arg(url));
        return t.id;
    }
    if (!target.isValid() || target.host().isEmpty()) {
        failBeforeStart(t, CURLE_URL_MALFORMAT, QStringLiteral("Not a valid address: %1").arg(url));
        return t.id;
    }
    QByteArray proxy;
    if (!proxyFor(t, &proxy))
        return t.id;

    t.record(ResolvingHost);
    CURL *e = curl_easy_init();
    t.easy = e;
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_URL, target.toEncoded().constData());
    // The address is asked for as typed, dot segments and all.
    curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed, but never to another scheme, nor from https back to http.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, maxRedirects);
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR,
                     target.scheme() == QLatin1String("https") ? "https" : "http,https");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_requestHeaders);
    curl_easy_setopt(e, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "Seriograb/" SERIOGRAB_VERSION);
    // An empty proxy also keeps the proxy variables of the environment out.
    curl_easy_setopt(e, CURLOPT_PROXY, proxy.constData());
    curl_easy_setopt(e, CURLOPT_PROXYTYPE, long(CURLPROXY_HTTP));
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, receiveBuffer);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.error);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, &Transfer::onOpenSocket);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &t);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Transfer::onRequestReady);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &t);
    curl_easy_setopt(e, CURLOPT_SHARE, m_share);
    // Where the server offers HTTP/2 (over TLS), the transfers in flight share its one connection
    // instead of each opening its own before the first has learnt that it may. Over plain HTTP,
    // which stays HTTP/1.1, waiting would only hold them back.
    if (target.scheme() == QLatin1String("https"))
        curl_easy_setopt(e, CURLOPT_PIPEWAIT, 1L);
    // Replaces the system's bundle file only: the system's certificate folder (CAPATH, which
    // holds the same certificates) stays trusted beside it.
    if (!m_caFile.isEmpty())
        curl_easy_setopt(e, CURLOPT_CAINFO, QFile::encodeName(m_caFile).constData());
    if (curl_multi_add_handle(multiOf(m_multi), e) != CURLM_OK) {
        curl_easy_cleanup(e);
        t.easy = nullptr;
        end(t, CURLE_OUT_OF_MEMORY, QStringLiteral("The transfer could not be started"));
        return t.id;
    }
    if (!m_stallTimer->isActive())
        m_stallTimer->start();
    return t.id;
}

void Inet::failBeforeStart(Transfer &t, qint32 code, const QString &text)
{
    t.phase = Transfer::Phase::Failed;
    t.record(Error, code, text);
}

// The proxy for this transfer; with access type 2 it must be a server name and a port.
bool Inet::proxyFor(Transfer &t, QByteArray *proxyUrl)
{
    if (m_accessType != NamedProxy) {
        *proxyUrl = QByteArray("");
        return true;
    }
    const qsizetype colon = m_proxy.lastIndexOf(QLatin1Char(':'));
    QString host = m_proxy.left(colon).trimmed();
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    const QString portText = colon < 0 ? QString() : m_proxy.mid(colon + 1).trimmed();
    bool isNumber = false;
    const qlonglong port = portText.toLongLong(&isNumber);
    if (colon < 0 || host.isEmpty()) {
        failBeforeStart(t, CURLE_COULDNT_RESOLVE_PROXY,
                        QStringLiteral("Proxy \"%1\" is not a server name and port").arg(m_proxy));
        return false;
    }
    if (!isNumber || port < 1 || port > 65535) {
        failBeforeStart(t, CURLE_COULDNT_RESOLVE_PROXY,
                        QStringLiteral("Proxy port \"%1\" is not a port from 1 to 65535").arg(portText));
        return false;
    }
    const QString bracketed = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    *proxyUrl = QStringLiteral("http://%1:%2").arg(bracketed).arg(port).toUtf8();
    return true;
}

bool Inet::OpenURL(const QString &url, const Keep &keep)
{
    if (m_waiting)
        return false;
    return wait(start(url, keep));
}

bool Inet::wait(TransferId id)
{
    if (m_waiting)
        return false;
    QPointer<Inet> self(this);
    m_last = Answer();
    m_responseCode = 0;
    m_responseInfo.clear();
    if (!find(id)) {
        // Ids are never given twice, so a transfer that is gone was cancelled before its turn
        // (Stop between two numbers), or was waited for already.
        m_last.cancelled = true;
        m_responseCode = CURLE_ABORTED_BY_CALLBACK;
        m_responseInfo = canceledText;
        emit StateChanged(Error);
        return false;
    }
    ++m_waiting;
    m_current = id;
    deliver();
    if (!self)
        return false;
    while (isRunning(id)) {
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        if (!self)
            return false;
        m_loop = nullptr;
        deliver();
        if (!self)
            return false;
    }
    --m_waiting;
    m_current = 0;

    const auto it = m_transfers.find(id);
    if (it == m_transfers.end())
        return false;
    std::unique_ptr<Transfer> t = std::move(it->second);
    m_transfers.erase(it);
    const bool answered = t->phase == Transfer::Phase::Answered;
    if (answered) {
        m_last.headers = t->headers;
        m_last.status = t->status;
        m_last.part = std::move(t->part);
        m_last.keepError = t->keepError;
    }
    m_last.cancelled = t->cancelled;
    return answered;
}

void Inet::cancel(TransferId id)
{
    Transfer *t = find(id);
    if (!t)
        return;
    if (t->phase == Transfer::Phase::Running) {
        t->cancelled = true;
        end(*t, CURLE_ABORTED_BY_CALLBACK, canceledText);
    }
    // The transfer being waited for stays until its wait has seen how it ended.
    if (id != m_current || !m_waiting)
        m_transfers.erase(id);
    deliver();
}

void Inet::Cancel()
{
    QList<TransferId> ids;
    for (const auto &[id, t] : m_transfers)
        ids.append(id);
    for (TransferId id : ids)
        cancel(id);
}

// Ends a transfer as failed: its part file goes, and state 11 is recorded for its report.
void Inet::end(Transfer &t, qint32 code, const QString &text)
{
    if (t.easy) {
        curl_multi_remove_handle(multiOf(m_multi), t.easy);
        curl_easy_cleanup(t.easy);
        t.easy = nullptr;
    }
    t.part.remove();
    t.phase = Transfer::Phase::Failed;
    t.record(Error, code, text);
}

// libcurl says the transfer is over: an answer, or a failure with its reason.
void Inet::finish(Transfer &t, int result)
{
    const QString curlText = QString::fromLocal8Bit(t.error[0] ? t.error : curl_easy_strerror(CURLcode(result)));
    if (t.easy) {
        curl_multi_remove_handle(multiOf(m_multi), t.easy);
        curl_easy_cleanup(t.easy);
        t.easy = nullptr;
    }
    if (t.phase != Transfer::Phase::Running)
        return;
    switch (t.stop) {
    case Transfer::Stop::TooLarge:
        end(t, CURLE_FILESIZE_EXCEEDED, t.stopText);
        return;
    case Transfer::Stop::KeepFailed:
        // The answer is known; only its body could not be kept.
        t.part.remove();
        t.phase = Transfer::Phase::Answered;
        return;
    case Transfer::Stop::Enough:
        t.phase = Transfer::Phase::Answered;
        return;
    case Transfer::Stop::None:
        break;
    }
    if (result != CURLE_OK) {
        end(t, result, curlText);
        return;
    }
    if (!t.finalAnswer) {
        end(t, CURLE_WEIRD_SERVER_REPLY, QStringLiteral("The server sent no answer"));
        return;
    }
    if (t.wanted && !t.part.close(&t.keepError))
        t.part.remove();
    t.phase = Transfer::Phase::Answered;
}

void Inet::drive(int socket, int events)
{
    int running = 0;
    curl_multi_socket_action(multiOf(m_multi), curl_socket_t(socket), events, &running);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multiOf(m_multi), &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Transfer *t = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
        if (t)
            finish(*t, message->data.result);
    }
    deliver();
}

// Reports what the transfer being waited for went through, outside every libcurl call, so a
// handler may cancel, start or wait as it likes.
void Inet::deliver()
{
    if (m_delivering)
        return;
    m_delivering = true;
    QPointer<Inet> self(this);
    for (;;) {
        Transfer *t = m_waiting ? find(m_current) : nullptr;
        if (!t)
            break;
        if (t->reported < t->events.size()) {
            const Transfer::Event event = t->events.at(t->reported++);
            if (event.state == Error) {
                m_responseCode = event.code;
                m_responseInfo = event.info;
            }
            emit StateChanged(event.state);
            if (!self)
                return;
            continue;
        }
        if (t->finalAnswer && (t->received != t->shownReceived || t->total != t->shownTotal)) {
            t->shownReceived = t->received;
            t->shownTotal = t->total;
            emit Progress(t->received, t->total);
            if (!self)
                return;
            continue;
        }
        if (t->phase != Transfer::Phase::Running && m_loop)
            m_loop->quit();
        break;
    }
    m_delivering = false;
    bool anyRunning = false;
    for (const auto &[id, t] : m_transfers)
        anyRunning = anyRunning || t->phase == Transfer::Phase::Running;
    if (!anyRunning)
        m_stallTimer->stop();
}

void Inet::checkStalls()
{
    bool ended = false;
    for (auto &[id, t] : m_transfers) {
        if (t->phase == Transfer::Phase::Running && t->quiet.elapsed() >= m_stallTimeout) {
            end(*t, CURLE_OPERATION_TIMEDOUT, QStringLiteral("No data received for %1 ms").arg(m_stallTimeout));
            ended = true;
        }
    }
    if (ended)
        deliver();
}

int Inet::socketCallback(void *, int socket, int what, void *self, void *)
{
    auto *inet = static_cast<Inet *>(self);
    if (what == CURL_POLL_REMOVE) {
        const Watch w = inet->m_sockets.take(socket);
        // Possibly inside this notifier's own signal: let it go later.
        for (QSocketNotifier *n : {w.read, w.write}) {
            if (n) {
                n->setEnabled(false);
                n->deleteLater();
            }
        }
        return 0;
    }
    Watch &w = inet->m_sockets[socket];
    const bool read = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool write = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    if (read && !w.read) {
        w.read = new QSocketNotifier(socket, QSocketNotifier::Read, inet);
        connect(w.read, &QSocketNotifier::activated, inet, [inet, socket] { inet->drive(socket, CURL_CSELECT_IN); });
    }
    if (write && !w.write) {
        w.write = new QSocketNotifier(socket, QSocketNotifier::Write, inet);
        connect(w.write, &QSocketNotifier::activated, inet, [inet, socket] { inet->drive(socket, CURL_CSELECT_OUT); });
    }
    if (w.read)
        w.read->setEnabled(read);
    if (w.write)
        w.write->setEnabled(write);
    return 0;
}

int Inet::timerCallback(void *, long timeoutMs, void *self)
{
    auto *inet = static_cast<Inet *>(self);
    if (timeoutMs < 0)
        inet->m_timer->stop();
    else
        inet->m_timer->start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}
