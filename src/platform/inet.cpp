#include "platform/inet.h"

#include "platform/retrypolicy.h"
#include "platform/transfer.h"

#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>

namespace {

CURLM *multiOf(void *handle) { return static_cast<CURLM *>(handle); }

bool isWebScheme(const QString &scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

const QString canceledText = QStringLiteral("Operation canceled");

constexpr long maxRedirects = 10;
constexpr long receiveBuffer = 256 * 1024;
// The options this engine relies on came with this libcurl (CURLOPT_QUICK_EXIT).
constexpr unsigned oldestCurl = CURL_VERSION_BITS(7, 87, 0);
static_assert(LIBCURL_VERSION_NUM >= oldestCurl, "libcurl 7.87.0 or newer is needed");

void initialiseCurlOnce()
{
    static const bool done = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // A file-size limit (ulimit -f) then fails a write with EFBIG, which ends a run with a
        // reason, instead of killing the program.
        std::signal(SIGXFSZ, SIG_IGN);
        return true;
    }();
    Q_UNUSED(done)
}

// An address typed without a scheme is meant for the web, as a browser would take it.
QUrl addressOf(const QString &url)
{
    return url.contains(QLatin1String("://")) ? QUrl(url) : QUrl::fromUserInput(url);
}

// A host as its pace knows it: scheme, host and port.
QString hostKeyOf(const QUrl &url)
{
    return url.scheme() + QLatin1String("://") + hostAndPort(url).toLower();
}

} // namespace

QByteArray Inet::Answer::header(const QByteArray &name) const
{
    return headerValue(headers, name);
}

Inet::Inet(QObject *parent)
    : QObject(parent)
{
    initialiseCurlOnce();
    m_clock.start();
    m_multi = curl_multi_init();
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_SOCKETFUNCTION, &Inet::socketCallback);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_TIMERFUNCTION, &Inet::timerCallback);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_MAX_HOST_CONNECTIONS, long(m_pace.connectionsPerHost()));
    // Where a server speaks HTTP/2, the transfers to it share one connection, as many at once as
    // its pace allows.
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_MAX_CONCURRENT_STREAMS, long(HostPace::autoStreams));

    // The body is kept exactly as the server holds it, so no compressed transfer is asked for.
    m_requestHeaders = curl_slist_append(nullptr, "Accept-Encoding: identity");

    // Without it (out of descriptors) every transfer fails at its first socket, with the reason.
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_epollError = m_epoll < 0 ? errno : 0;
    if (m_epoll >= 0) {
        m_ready = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_ready, &QSocketNotifier::activated, this, &Inet::driveReady);
    }

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &Inet::driveTimeouts);
    m_stallTimer = new QTimer(this);
    setStallTimeout(stallTimeoutMs);
    connect(m_stallTimer, &QTimer::timeout, this, &Inet::checkStalls);
    m_pumpTimer = new QTimer(this);
    m_pumpTimer->setSingleShot(true);
    connect(m_pumpTimer, &QTimer::timeout, this, [this] {
        pump();
        deliver();
    });
}

Inet::~Inet()
{
    for (auto &[id, t] : m_transfers)
        detach(*t);
    m_transfers.clear();
    // A waiting wait() notices through its guard that the control is gone and returns.
    if (m_loop)
        m_loop->quit();
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(multiOf(m_multi));
    delete m_ready;
    if (m_epoll >= 0)
        ::close(m_epoll);
    curl_slist_free_all(static_cast<curl_slist *>(m_requestHeaders));
}

QString Inet::unusable()
{
    const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
    if (info->version_num >= oldestCurl)
        return QString();
    return QStringLiteral("Transfers need libcurl 7.87.0 or newer; this system has %1")
        .arg(QString::fromLatin1(info->version));
}

void Inet::setStallTimeout(int ms)
{
    m_stallTimeout = ms;
    m_stallTimer->setInterval(qBound(10, ms / 30, 1000));
}

QString Inet::configure(const Config &config)
{
    for (const auto &[file, what] : {std::pair{config.caFile, QStringLiteral("extra CA certificates")},
                                     std::pair{config.cookiesFile, QStringLiteral("cookies file")}}) {
        QFile f(file);
        if (!file.isEmpty() && !f.open(QIODevice::ReadOnly))
            return QStringLiteral("the %1 \"%2\" cannot be read: %3").arg(what, file, f.errorString());
    }
    if (const QString why = m_trust.prepare(m_multi, config.caFile, m_transfers.empty()); !why.isEmpty())
        return why;
    // What the transfers of a run share: TLS sessions, so a new connection to a host resumes
    // rather than repeats its handshake; and with a cookies file one cookie store, the file's
    // cookies and what servers set meanwhile, never written back to the file.
    std::shared_ptr<void> share(curl_share_init(), [](void *s) { curl_share_cleanup(s); });
    bool ready = share && curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (ready && !config.cookiesFile.isEmpty()) {
        CURL *loader = curl_easy_init();
        const QByteArray path = QFile::encodeName(config.cookiesFile);
        ready = loader && curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) == CURLSHE_OK
            && curl_easy_setopt(loader, CURLOPT_SHARE, share.get()) == CURLE_OK
            && curl_easy_setopt(loader, CURLOPT_COOKIEFILE, path.constData()) == CURLE_OK
            && curl_easy_setopt(loader, CURLOPT_COOKIELIST, "RELOAD") == CURLE_OK;
        curl_easy_cleanup(loader);
    }
    if (!ready)
        return config.cookiesFile.isEmpty()
            ? QStringLiteral("the transfers could not be set up")
            : QStringLiteral("the cookies file \"%1\" could not be loaded").arg(config.cookiesFile);
    m_config = config;
    m_config.perHost = qMax(HostPace::automatic, config.perHost);
    m_share = std::move(share);
    m_pace.reset(m_config.perHost, m_config.pauseMs);
    curl_multi_setopt(multiOf(m_multi), CURLMOPT_MAX_HOST_CONNECTIONS, long(m_pace.connectionsPerHost()));
    return QString();
}

QString Inet::paceOf(const QString &url) const
{
    return m_pace.describe(hostKeyOf(addressOf(url)));
}

int Inet::paceLimit(const QString &url) const
{
    // Asked for at every pass, for the same address: parsed once.
    if (url != m_pacedUrl) {
        m_pacedUrl = url;
        m_pacedHost = hostKeyOf(addressOf(url));
    }
    return m_pace.limit(m_pacedHost);
}

Inet::Transfer *Inet::find(TransferId id) const
{
    const auto it = m_transfers.find(id);
    return it == m_transfers.end() ? nullptr : it->second.get();
}

bool Inet::isRunning(TransferId id) const
{
    const Transfer *t = find(id);
    return t && (t->phase == Transfer::Phase::Queued || t->phase == Transfer::Phase::Running);
}

bool Inet::waitsToRetry(TransferId id) const
{
    const Transfer *t = find(id);
    return t && t->phase == Transfer::Phase::Queued && t->tries > 0;
}

std::optional<bool> Inet::keptBody(TransferId id) const
{
    const Transfer *t = find(id);
    if (!t || isRunning(id))
        return std::nullopt;
    return t->phase == Transfer::Phase::Answered && t->part.isValid();
}

QString Inet::GetHeader(const QString &name) const
{
    return QString::fromLatin1(headerValue(m_lastHeaders, name.toLatin1()));
}

Inet::TransferId Inet::start(const Request &request)
{
    auto owned = std::make_unique<Transfer>();
    Transfer &t = *owned;
    t.owner = this;
    t.id = ++m_nextId;
    t.request = request;
    m_transfers.emplace(t.id, std::move(owned));

    const QString &url = request.url;
    if (url.trimmed().isEmpty()) {
        failBeforeStart(t, Failure::Address, CURLE_URL_MALFORMAT, QStringLiteral("No address given"));
        return t.id;
    }
    t.url = addressOf(url);
    if (!isWebScheme(t.url.scheme())) {
        failBeforeStart(t, Failure::Address, CURLE_UNSUPPORTED_PROTOCOL,
                        QStringLiteral("Only http and https addresses can be fetched: %1").arg(url));
        return t.id;
    }
    if (!t.url.isValid() || t.url.host().isEmpty()) {
        failBeforeStart(t, Failure::Address, CURLE_URL_MALFORMAT, QStringLiteral("Not a valid address: %1").arg(url));
        return t.id;
    }
    if (!proxyFor(t, &t.proxy))
        return t.id;
    t.hostKey = hostKeyOf(t.url);
    t.share = m_share;
    pump();
    return t.id;
}

void Inet::failBeforeStart(Transfer &t, Failure failure, qint32 code, const QString &text)
{
    t.phase = Transfer::Phase::Failed;
    t.failure = failure;
    t.hop = t.request.url.trimmed();
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
    // A user name and password belong in their own fields, and are never repeated in a message.
    if (m_proxy.contains(QLatin1Char('@')) || host.contains(QLatin1Char('/'))) {
        failBeforeStart(t, Failure::ProxySetting, CURLE_COULDNT_RESOLVE_PROXY,
                        QStringLiteral("Proxy \"%1\" is not a server name").arg(host.section(QLatin1Char('@'), -1)));
        return false;
    }
    if (colon < 0 || host.isEmpty()) {
        failBeforeStart(t, Failure::ProxySetting, CURLE_COULDNT_RESOLVE_PROXY,
                        QStringLiteral("Proxy \"%1\" is not a server name and port").arg(m_proxy));
        return false;
    }
    if (!isNumber || port < 1 || port > 65535) {
        failBeforeStart(t, Failure::ProxySetting, CURLE_COULDNT_RESOLVE_PROXY,
                        QStringLiteral("Proxy port \"%1\" is not a port from 1 to 65535").arg(portText));
        return false;
    }
    const QString bracketed = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    *proxyUrl = QStringLiteral("%1://%2:%3")
                        .arg(m_config.socks5 ? QLatin1String("socks5h") : QLatin1String("http"), bracketed)
                        .arg(port)
                        .toUtf8();
    return true;
}

// Starts the transfers whose host's pace and back-off allow it, oldest first, and sets the
// timer for the next one held back.
void Inet::pump()
{
    const qint64 t0 = now();
    qint64 wake = -1;
    // A transfer of a host held down to one that hears nothing (an answer stalled at the server)
    // does not keep the host's one transfer waiting behind it.
    QHash<QString, int> silent;
    qint64 nextSilence = -1;
    for (auto &[id, owned] : m_transfers) {
        Transfer &t = *owned;
        if (!t.inFlight || !m_pace.heldDown(t.hostKey))
            continue;
        if (t.bytesIn != t.heardBytes) {
            t.heardBytes = t.bytesIn;
            t.heardAt = t0;
        }
        if (t0 - t.heardAt >= HostPace::silentMs)
            ++silent[t.hostKey];
        else
            nextSilence = nextSilence < 0 ? t.heardAt + HostPace::silentMs : qMin(nextSilence, t.heardAt + HostPace::silentMs);
    }
    for (auto &[id, owned] : m_transfers) {
        Transfer &t = *owned;
        if (t.phase != Transfer::Phase::Queued)
            continue;
        const qint64 due = m_pace.due(t.hostKey, t.notBefore, silent.value(t.hostKey));
        if (due < 0) {
            // A transfer to it that ends pumps again; one falling silent is waited for.
            if (nextSilence >= 0)
                wake = wake < 0 ? nextSilence : qMin(wake, nextSilence);
            continue;
        }
        if (due > t0) {
            wake = wake < 0 ? due : qMin(wake, due);
            continue;
        }
        if (launch(t)) {
            t.inFlight = true;
            t.heardAt = t0;
            t.heardBytes = 0;
            m_pace.started(t.hostKey, t0);
        }
    }
    if (wake >= 0)
        m_pumpTimer->start(int(qMax<qint64>(0, wake - t0)));
    else
        m_pumpTimer->stop();
}

// Puts the transfer's next try on the wire.
bool Inet::launch(Transfer &t)
{
    t.beginTry();
    t.phase = Transfer::Phase::Running;
    CURL *e = curl_easy_init();
    if (!e) {
        end(t, CURLE_OUT_OF_MEMORY, QStringLiteral("The transfer could not be started"));
        return false;
    }
    t.easy = e;
    // Every option is checked: a transfer that would not go as asked does not go at all.
    CURLcode failed = CURLE_OK;
    const char *failedOption = nullptr;
    auto set = [&](CURLoption option, auto value, const char *name) {
        if (failed != CURLE_OK)
            return;
        failed = curl_easy_setopt(e, option, value);
        if (failed != CURLE_OK)
            failedOption = name;
    };
#define SET(option, value) set(option, value, #option)
    const QByteArray url = t.url.toEncoded();
    SET(CURLOPT_PRIVATE, static_cast<void *>(&t));
    SET(CURLOPT_URL, url.constData());
    // The address is asked for as typed, dot segments and all.
    SET(CURLOPT_PATH_AS_IS, 1L);
    SET(CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed to http and https only; one from https to http is refused at the
    // header it arrives with.
    SET(CURLOPT_FOLLOWLOCATION, 1L);
    SET(CURLOPT_MAXREDIRS, maxRedirects);
    SET(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    SET(CURLOPT_HTTPHEADER, m_requestHeaders);
    SET(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    const QByteArray userAgent = m_config.userAgent.isEmpty() ? QByteArray("Seriograb/" SERIOGRAB_VERSION)
                                                               : m_config.userAgent.toUtf8();
    SET(CURLOPT_USERAGENT, userAgent.constData());
    // The proxy is what Options says: an empty one, and an empty exception list, keep the
    // proxy variables of the environment (http_proxy, NO_PROXY and the rest) out.
    SET(CURLOPT_PROXY, t.proxy.constData());
    SET(CURLOPT_NOPROXY, "");
    SET(CURLOPT_PROXYTYPE, long(m_config.socks5 ? CURLPROXY_SOCKS5_HOSTNAME : CURLPROXY_HTTP));
    const QByteArray proxyUser = m_config.proxyUser.toUtf8(), proxyPassword = m_config.proxyPassword.toUtf8();
    if (!t.proxy.isEmpty() && !proxyUser.isEmpty()) {
        SET(CURLOPT_PROXYUSERNAME, proxyUser.constData());
        SET(CURLOPT_PROXYPASSWORD, proxyPassword.constData());
    }
    SET(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    SET(CURLOPT_NOSIGNAL, 1L);
    // Removing a transfer whose host name is still being looked up must not wait for the look-up.
    SET(CURLOPT_QUICK_EXIT, 1L);
    SET(CURLOPT_CONNECTTIMEOUT_MS, long(m_stallTimeout));
    SET(CURLOPT_BUFFERSIZE, receiveBuffer);
    SET(CURLOPT_ERRORBUFFER, t.error);
    SET(CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    SET(CURLOPT_HEADERDATA, static_cast<void *>(&t));
    SET(CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    SET(CURLOPT_WRITEDATA, static_cast<void *>(&t));
    SET(CURLOPT_OPENSOCKETFUNCTION, &Transfer::onOpenSocket);
    SET(CURLOPT_OPENSOCKETDATA, static_cast<void *>(&t));
    SET(CURLOPT_PREREQFUNCTION, &Transfer::onRequestReady);
    SET(CURLOPT_PREREQDATA, static_cast<void *>(&t));
    // The Referer names a page, never who asked for it: no user name, password or fragment.
    const QUrl::FormattingOptions bare = QUrl::RemoveUserInfo | QUrl::RemoveFragment;
    QByteArray referer;
    if (m_config.referer == QLatin1String("*")) {
        const QByteArray plain = t.url.adjusted(bare | QUrl::RemoveQuery).toEncoded();
        referer = plain.left(plain.lastIndexOf('/') + 1);
    } else if (!m_config.referer.isEmpty()) {
        referer = QUrl(m_config.referer).adjusted(bare).toEncoded();
    }
    if (!referer.isEmpty())
        SET(CURLOPT_REFERER, referer.constData());
    if (t.share)
        SET(CURLOPT_SHARE, t.share.get());
    if (!m_config.cookiesFile.isEmpty())
        SET(CURLOPT_COOKIEFILE, "");   // the cookie engine, on the run's cookies
    // Where the server offers HTTP/2 (over TLS), the transfers in flight share its one connection
    // instead of each opening its own before the first has learnt that it may. Over plain HTTP,
    // which stays HTTP/1.1, waiting would only hold them back.
    if (t.url.scheme() == QLatin1String("https"))
        SET(CURLOPT_PIPEWAIT, 1L);
    if (t.freshConnection)
        SET(CURLOPT_FRESH_CONNECT, 1L);
    if (failed == CURLE_OK && (failed = CURLcode(m_trust.apply(e))) != CURLE_OK)
        failedOption = "CURLOPT_CAINFO";
    const QByteArray range = QByteArray::number(t.resumeFrom) + '-';
    if (t.resumeFrom > 0) {
        SET(CURLOPT_RANGE, range.constData());
        // A server whose file changed meanwhile then sends it whole.
        t.ownHeaders = curl_slist_append(nullptr, "If-Range: " + t.validator);
        t.ownHeaders = curl_slist_append(t.ownHeaders, "Accept-Encoding: identity");
        SET(CURLOPT_HTTPHEADER, t.ownHeaders);
    }
#undef SET
    if (failed != CURLE_OK) {
        end(t, failed, QStringLiteral("The transfer could not be set up (%1): %2")
                               .arg(QLatin1String(failedOption), QString::fromLatin1(curl_easy_strerror(failed))));
        return false;
    }
    const CURLMcode added = curl_multi_add_handle(multiOf(m_multi), e);
    if (added != CURLM_OK) {
        end(t, CURLE_OUT_OF_MEMORY, QStringLiteral("The transfer could not be started: %1")
                                            .arg(QString::fromLatin1(curl_multi_strerror(added))));
        return false;
    }
    if (!m_stallTimer->isActive()) {
        m_lastStallCheck = now();
        m_stallTimer->start();
    }
    return true;
}

// Takes the transfer's try off the wire.
void Inet::detach(Transfer &t)
{
    if (!t.easy)
        return;
    curl_multi_remove_handle(multiOf(m_multi), t.easy);
    curl_easy_cleanup(t.easy);
    t.easy = nullptr;
    curl_slist_free_all(std::exchange(t.ownHeaders, nullptr));
    if (std::exchange(t.inFlight, false))
        m_pace.ended(t.hostKey);
}

Inet::Answer Inet::wait(TransferId id)
{
    Answer answer;
    answer.errorCode = CURLE_ABORTED_BY_CALLBACK;
    answer.errorText = canceledText;
    if (m_waiting)
        return answer;
    QPointer<Inet> self(this);
    m_lastHeaders.clear();
    m_responseCode = 0;
    m_responseInfo.clear();
    if (!find(id)) {
        // Ids are never given twice, so a transfer that is gone was cancelled before its turn
        // (Stop between two numbers), or was waited for already.
        m_responseCode = answer.errorCode;
        m_responseInfo = answer.errorText;
        emit StateChanged(Error);
        return answer;
    }
    ++m_waiting;
    m_current = id;
    deliver();
    if (!self)
        return answer;
    while (isRunning(id)) {
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        if (!self)
            return answer;
        m_loop = nullptr;
        deliver();
        if (!self)
            return answer;
    }
    --m_waiting;
    m_current = 0;

    const auto it = m_transfers.find(id);
    if (it == m_transfers.end())
        return answer;
    std::unique_ptr<Transfer> t = std::move(it->second);
    m_transfers.erase(it);
    answer.tries = t->tries;
    answer.failure = t->failure;
    answer.hop = t->hop;
    answer.firstHop = t->firstHop;
    answer.proxy = t->proxy.isEmpty() ? QString() : hostAndPort(QUrl(QString::fromUtf8(t->proxy)));
    if (t->cancelled) {
        answer.result = Answer::Result::Cancelled;
    } else if (t->phase == Transfer::Phase::Answered) {
        answer.result = Answer::Result::Answered;
        answer.errorCode = 0;
        answer.errorText.clear();
        // A body completed by resuming is the resource its first answer described.
        const bool resumed = t->part.isValid() && t->resumeFrom > 0;
        answer.status = resumed ? 200 : t->status;
        answer.headers = resumed ? t->firstHeaders : t->headers;
        answer.part = std::move(t->part);
        answer.keepFailure = t->keepFailure;
        m_lastHeaders = answer.headers;
    } else {
        answer.result = Answer::Result::Failed;
        for (const Transfer::Event &event : std::as_const(t->events)) {
            if (event.kind == Transfer::Event::Kind::State && event.state == Error) {
                answer.errorCode = event.code;
                answer.errorText = event.info;
            }
        }
    }
    return answer;
}

void Inet::cancel(TransferId id)
{
    Transfer *t = find(id);
    if (!t)
        return;
    if (isRunning(id)) {
        t->cancelled = true;
        end(*t, CURLE_ABORTED_BY_CALLBACK, canceledText);
        t->failure = Failure::None;
    }
    // The transfer being waited for stays until its wait has seen how it ended.
    if (id != m_current || !m_waiting)
        m_transfers.erase(id);
    pump();
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

// Ends a transfer as failed: its part file goes, and state 11 is recorded for its report, with
// what failed and at which hop.
QString Inet::proxyAuthText(bool http407) const
{
    const QString status = http407 ? QStringLiteral(" (HTTP 407)") : QString();
    return m_config.proxyUser.isEmpty() ? QStringLiteral("The proxy asks for a user name and password") + status
                                        : QStringLiteral("The proxy refused its user name and password") + status;
}

void Inet::end(Transfer &t, qint32 code, const QString &given, Failure failure)
{
    QString text = given;
    // A proxy that would not take its user, or a SOCKS proxy that would not take the
    // connection: so for every number.
    if (failure == Failure::None && !t.proxy.isEmpty() && (code == CURLE_LOGIN_DENIED || code == CURLE_PROXY)) {
        long proxyError = CURLPX_OK;
        if (t.easy)
            curl_easy_getinfo(t.easy, CURLINFO_PROXY_ERROR, &proxyError);
        const bool userRefused = code == CURLE_LOGIN_DENIED || proxyError == CURLPX_USER_REJECTED
                              || proxyError == CURLPX_NO_AUTH;
        failure = userRefused ? Failure::ProxyAuth : Failure::Refused;
        if (userRefused)
            text = proxyAuthText(false) + QStringLiteral(" (") + given + QLatin1Char(')');
    }
    if (t.easy) {
        const char *current = nullptr;
        curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &current);
        long redirects = 0;
        curl_easy_getinfo(t.easy, CURLINFO_REDIRECT_COUNT, &redirects);
        t.hop = current ? QString::fromUtf8(current) : t.url.toString();
        t.firstHop = redirects == 0;
    } else if (t.hop.isEmpty()) {
        t.hop = t.url.toString();
    }
    detach(t);
    t.part.remove();
    t.phase = Transfer::Phase::Failed;
    t.record(Error, code, text);
    if (failure != Failure::None) {
        t.failure = failure;
        return;
    }
    switch (code) {
    case CURLE_URL_MALFORMAT:
        t.failure = Failure::Address;
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        t.failure = Failure::UnknownHost;
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
        t.failure = Failure::UnknownProxy;
        break;
    case CURLE_COULDNT_CONNECT:
        t.failure = t.osErrno == ECONNREFUSED ? Failure::Refused : Failure::Unreachable;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
        t.failure = Failure::Certificate;
        break;
    case CURLE_SSL_CONNECT_ERROR:
        t.failure = text.contains(QLatin1String("wrong version number")) ? Failure::NotTls : Failure::TlsFailed;
        break;
    case CURLE_SSL_CACERT_BADFILE:
        t.failure = Failure::CaFile;
        break;
    case CURLE_FILESIZE_EXCEEDED:
        t.failure = Failure::TooLarge;
        break;
    default:
        t.failure = retrypolicy::isPassing(code) ? Failure::Server : Failure::Other;
        break;
    }
}

// A try failed in passing: another one after the server's wait or the back-off, while tries
// are left; otherwise the transfer ends as the server's failure.
void Inet::retryOrEnd(Transfer &t, qint32 code, const QString &text, int retryAfter)
{
    if (++t.spentTries > m_config.retries) {
        end(t, code, text, Failure::Server);
        return;
    }
    const int delay = retryAfter >= 0 ? retryAfter : retrypolicy::backOffMs(t.spentTries);
    t.notBefore = now() + delay;
    // A broken-off body goes on where it stopped when the server offered byte ranges;
    // anything else starts over.
    if (t.canResume()) {
        t.resumeFrom = t.part.size();
    } else {
        t.resumeFrom = 0;
        if (t.part.isValid() && !t.part.restart(&t.keepFailure))
            t.part.remove();
    }
    t.phase = Transfer::Phase::Queued;
    t.events.append(Transfer::Event{Transfer::Event::Kind::Retry, 0, (delay + 999) / 1000, text});
}

// A busy host (429, 503): nothing more to it before its wait is over, then one at a time. The
// transfer waits for it without spending a try, until the host has kept it waiting too long.
void Inet::holdBusyHost(Transfer &t)
{
    const int wait = t.retryAfter >= 0 ? t.retryAfter : retrypolicy::backOffMs(m_pace.busyInRow(t.hostKey) + 1);
    const QString text = retrypolicy::statusText(t.status);
    if (m_pace.hold(t.hostKey, now(), wait) > m_busyLimit) {
        end(t, t.status, text, Failure::Busy);
        return;
    }
    t.notBefore = now() + wait;
    t.resumeFrom = t.canResume() ? t.part.size() : 0;
    t.phase = Transfer::Phase::Queued;
    t.events.append(Transfer::Event{Transfer::Event::Kind::Retry, 0, (wait + 999) / 1000, text});
}

// libcurl says the try is over: an answer, or a failure with its reason.
void Inet::finish(Transfer &t, int result)
{
    const QString curlText = QString::fromLocal8Bit(t.error[0] ? t.error : curl_easy_strerror(CURLcode(result)));
    long connectCode = 0;
    long httpVersion = 0;
    if (t.easy) {
        curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &t.osErrno);
        curl_easy_getinfo(t.easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
        curl_easy_getinfo(t.easy, CURLINFO_HTTP_VERSION, &httpVersion);
    }
    if (t.phase != Transfer::Phase::Running) {
        detach(t);
        return;
    }
    if (connectCode == 407 && t.stop == Transfer::Stop::None)
        t.refuse(Transfer::Stop::ProxyAuth, QString());
    switch (t.stop) {
    case Transfer::Stop::TooLarge:
        end(t, CURLE_FILESIZE_EXCEEDED, t.stopText, Failure::TooLarge);
        return;
    case Transfer::Stop::Downgrade:
        end(t, CURLE_UNSUPPORTED_PROTOCOL, t.stopText, Failure::Downgrade);
        return;
    case Transfer::Stop::ProxyAuth:
        end(t, 407, proxyAuthText(true), Failure::ProxyAuth);
        return;
    case Transfer::Stop::KeepFailed:
        // The answer is known; only its body could not be kept.
        detach(t);
        t.part.remove();
        t.phase = Transfer::Phase::Answered;
        return;
    case Transfer::Stop::Enough:
        break;
    case Transfer::Stop::Incomplete:
        detach(t);
        emptyPart(t);
        retryOrEnd(t, CURLE_PARTIAL_FILE, t.stopText, -1);
        return;
    case Transfer::Stop::RangeRefused:
        // Not the same file any more: the whole of it, at once and without a try spent.
        detach(t);
        emptyPart(t);
        t.phase = Transfer::Phase::Queued;
        return;
    case Transfer::Stop::None:
        if (result != CURLE_OK) {
            if (leftOverOnKeptConnection(t, result)) {
                // What came were bytes an earlier answer left on the kept connection, not
                // this number's answer: asked again on a connection of its own, at no try's cost.
                detach(t);
                t.freshConnection = true;
                t.phase = Transfer::Phase::Queued;
                return;
            }
            if (retrypolicy::isPassing(result)) {
                detach(t);
                retryOrEnd(t, result, curlText, -1);
            } else {
                end(t, result, curlText);
            }
            return;
        }
        if (!t.finalAnswer) {
            end(t, CURLE_WEIRD_SERVER_REPLY, QStringLiteral("The server sent no answer"));
            return;
        }
        break;
    }
    detach(t);
    if (t.retryStatus) {
        if (t.status == 429 || t.status == 503)
            holdBusyHost(t);
        else
            retryOrEnd(t, t.status, retrypolicy::statusText(t.status), t.retryAfter);
        return;
    }
    m_pace.answered(t.hostKey, now(), httpVersion >= CURL_HTTP_VERSION_2_0);
    if (t.wanted && !t.complete()) {
        const QString text = QStringLiteral("The body ended at byte %1 of %2").arg(t.received).arg(t.total);
        emptyPart(t);
        retryOrEnd(t, CURLE_PARTIAL_FILE, text, -1);
        return;
    }
    t.phase = Transfer::Phase::Answered;
}

// Bytes that are not an answer at all, read from a connection an earlier transfer left open:
// a server that sent more than it declared, with the rest arriving after that answer ended.
bool Inet::leftOverOnKeptConnection(const Transfer &t, int result) const
{
    if (t.freshConnection || (result != CURLE_UNSUPPORTED_PROTOCOL && result != CURLE_WEIRD_SERVER_REPLY) || !t.easy)
        return false;
    long status = 0, connects = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(t.easy, CURLINFO_NUM_CONNECTS, &connects);
    return status == 0 && connects == 0;
}

// What the part file holds is of no use: the next try asks for the whole file.
void Inet::emptyPart(Transfer &t)
{
    t.validator.clear();
    t.resumeFrom = 0;
    if (t.part.isValid() && !t.part.restart(&t.keepFailure))
        t.part.remove();
}

void Inet::driveTimeouts()
{
    int running = 0;
    curl_multi_socket_action(multiOf(m_multi), CURL_SOCKET_TIMEOUT, 0, &running);
    collect();
}

// Every socket that is ready is handed to libcurl, then what ended is taken up once.
void Inet::driveReady()
{
    epoll_event ready[32];
    const int n = ::epoll_wait(m_epoll, ready, int(std::size(ready)), 0);
    int running = 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t e = ready[i].events;
        const int events = ((e & (EPOLLIN | EPOLLHUP)) ? CURL_CSELECT_IN : 0)
            | ((e & EPOLLOUT) ? CURL_CSELECT_OUT : 0) | ((e & EPOLLERR) ? CURL_CSELECT_ERR : 0);
        curl_multi_socket_action(multiOf(m_multi), curl_socket_t(ready[i].data.fd), events, &running);
    }
    collect();
}

void Inet::collect()
{
    int left = 0;
    bool tried = false;
    while (CURLMsg *message = curl_multi_info_read(multiOf(m_multi), &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        Transfer *t = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &t);
        if (t) {
            finish(*t, message->data.result);
            tried = true;
        }
    }
    if (tried)
        settle();
    else
        deliver();
}

// After tries have ended: the next requests go out, the transfer waited for reports, and those
// who keep transfers going hear that there is room.
void Inet::settle()
{
    QPointer<Inet> self(this);
    pump();
    deliver();
    if (self)
        emit Ended();
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
            if (event.kind == Transfer::Event::Kind::Retry) {
                emit Retrying(event.code, event.info);
            } else {
                if (event.state == Error) {
                    m_responseCode = event.code;
                    m_responseInfo = event.info;
                }
                emit StateChanged(event.state);
            }
            if (!self)
                return;
            continue;
        }
        if (t->finalAnswer && t->wanted && (t->received != t->shownReceived || t->total != t->shownTotal)) {
            t->shownReceived = t->received;
            t->shownTotal = t->total;
            emit Progress(t->received, t->total);
            if (!self)
                return;
            continue;
        }
        if (!isRunning(m_current) && m_loop)
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

// A transfer whose request went out and which has since received fewer than stallBytes in a
// whole stall window times out, however slowly the bytes came; so does one whose connection is
// not made (libcurl's own connect time-out).
void Inet::checkStalls()
{
    const qint64 t0 = now();
    // A check that comes far too late means this thread was held: the sockets were not read
    // meanwhile, so that time tells nothing of the servers.
    const bool held = m_lastStallCheck >= 0 && t0 - m_lastStallCheck > 3 * m_stallTimer->interval() + 250;
    m_lastStallCheck = t0;
    QList<Transfer *> silent;
    for (auto &[id, owned] : m_transfers) {
        Transfer &t = *owned;
        if (t.phase != Transfer::Phase::Running || t.requestSentAt < 0)
            continue;
        if (held) {
            t.samples.assign(1, {t0, t.bytesIn});
            continue;
        }
        t.samples.push_back({t0, t.bytesIn});
        while (t.samples.size() >= 2 && t.samples[1].first <= t0 - m_stallTimeout)
            t.samples.pop_front();
        if (t.samples.front().first <= t0 - m_stallTimeout && t.bytesIn - t.samples.front().second < stallBytes)
            silent.append(&t);
    }
    for (Transfer *t : std::as_const(silent)) {
        detach(*t);
        retryOrEnd(*t, CURLE_OPERATION_TIMEDOUT,
                   QStringLiteral("Fewer than %1 bytes received in %2 s").arg(stallBytes).arg(m_stallTimeout / 1000.0),
                   -1);
    }
    if (!silent.isEmpty())
        settle();
}

int Inet::socketCallback(void *easy, int socket, int what, void *self, void *)
{
    auto *inet = static_cast<Inet *>(self);
    if (what == CURL_POLL_REMOVE) {
        // The socket may be closed already, which took it out of the set.
        ::epoll_ctl(inet->m_epoll, EPOLL_CTL_DEL, socket, nullptr);
        return 0;
    }
    epoll_event watch{};
    watch.events = (what == CURL_POLL_IN || what == CURL_POLL_INOUT ? EPOLLIN : 0u)
        | (what == CURL_POLL_OUT || what == CURL_POLL_INOUT ? EPOLLOUT : 0u);
    watch.data.fd = socket;
    if (inet->m_epoll >= 0
        && (::epoll_ctl(inet->m_epoll, EPOLL_CTL_MOD, socket, &watch) == 0
            || (errno == ENOENT && ::epoll_ctl(inet->m_epoll, EPOLL_CTL_ADD, socket, &watch) == 0)))
        return 0;
    // A socket nobody watches would wait for ever, and an error returned to libcurl would stop
    // every transfer for good: this one fails, with the reason, once libcurl has returned.
    const int why = inet->m_epoll < 0 ? inet->m_epollError : errno;
    Transfer *t = nullptr;
    curl_easy_getinfo(static_cast<CURL *>(easy), CURLINFO_PRIVATE, &t);
    if (t) {
        QMetaObject::invokeMethod(inet, [inet, id = t->id, why] {
            Transfer *failed = inet->find(id);
            if (!failed || failed->phase != Transfer::Phase::Running)
                return;
            inet->end(*failed, CURLE_FAILED_INIT,
                      QStringLiteral("Cannot watch the connection: %1").arg(QString::fromLocal8Bit(strerror(why))));
            inet->settle();
        }, Qt::QueuedConnection);
    }
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
