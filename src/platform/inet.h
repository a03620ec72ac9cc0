#pragma once

#include "platform/hostpace.h"
#include "platform/partfile.h"
#include "platform/retrypolicy.h"
#include "platform/tlstrust.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QEventLoop;
class QSocketNotifier;
class QTimer;

/// The internet transfer control: fetches addresses directly or through an HTTP proxy, several at
/// once, on one libcurl multi handle driven by this thread's event loop (so connections are kept
/// alive from one transfer to the next). A transfer streams the body of a wanted answer into a
/// part file; nothing of a body is held in memory. A transfer that fails in passing (a time-out,
/// a reset, a busy server) is tried again, resuming its body where the server allows it, and a
/// busy host is given the pace it asks for. The transfer being waited for reports its states and
/// progress; the others record theirs until their turn.
class Inet : public QObject
{
    Q_OBJECT

public:
    enum State : qint16 { ResolvingHost = 1, HostResolved = 2, Error = 11 };
    enum AccessTypes { Direct = 1, NamedProxy = 2 };

    /// A kept answer whose body grows past this is abandoned as a failed transfer.
    static constexpr qint64 maxBodyBytes = qint64(512) * 1024 * 1024;
    /// A connection must be made within this time, and once the request is sent, at least
    /// stallBytes must arrive in every stretch of this length, or the transfer times out.
    static constexpr int stallTimeoutMs = 30000;
    static constexpr int busyLimitMs = 10 * 60 * 1000;
    static constexpr qint64 stallBytes = 100;
    /// The body of an answer that is not kept is read this far, so that a short error page leaves
    /// the connection usable; a longer one ends the transfer there, as an answer.
    static constexpr qint64 discardBytes = qint64(1) * 1024 * 1024;
    /// Waits before another try: 1 s doubled each time up to the first; a server's Retry-After up
    /// to the second.
    static constexpr int maxBackOffMs = retrypolicy::maxBackOffMs;
    static constexpr int maxRetryAfterMs = retrypolicy::maxRetryAfterMs;

    using Headers = QList<QPair<QByteArray, QByteArray>>;
    using TransferId = quint64;

    /// One address to fetch, and what to keep of its answer.
    struct Request
    {
        QString url;
        QString folder;   // the part file is made here ("": the working folder)
        std::function<bool(const QString &contentType)> wanted;   // null: keep no body
    };

    /// How transfers behave; set before a run, it applies to the transfers started after it.
    struct Config
    {
        int retries = 0;        // more tries for a transfer that failed in passing
        int pauseMs = 0;        // at least this long between two request starts to one host
        int perHost = HostPace::automatic;   // transfers in flight to one host at most; 0: found per host
        QString referer;        // "": none; "*": the address up to its last "/"; else this address
        QString cookiesFile;    // a cookies.txt file whose cookies go to the hosts it names
        QString caFile;         // PEM certificates trusted beside the system's
        QString userAgent;      // "": the program's own name and version
        bool socks5 = false;    // the proxy speaks SOCKS5 and looks host names up itself; else HTTP
        QString proxyUser;      // "": no proxy authentication
        QString proxyPassword;
    };

    /// What made a transfer fail; what that means for a series is for the run to say.
    enum class Failure {
        None,
        Address,        // the address cannot be fetched at all: malformed, or not http or https
        ProxySetting,   // the proxy setting names no server and port
        UnknownHost,    // the hop's host name is unknown
        UnknownProxy,   // the proxy's host name is unknown
        Refused,        // the hop's server (or the proxy) refused the connection
        Unreachable,    // the hop's server (or the proxy) could not be reached
        Certificate,    // the hop's server has a certificate that is not trusted
        NotTls,         // the hop's server does not speak https
        TlsFailed,      // no secure connection could be made to the hop's server
        CaFile,         // the extra CA certificates cannot be used
        Downgrade,      // a redirect from https to http, refused
        ProxyAuth,      // the proxy asks for a user name and password (407)
        Server,         // the server failed on every try: 5xx, 408, time-outs, resets, cut bodies
        Busy,           // the host stayed busy (429, 503) for busyLimit() in total
        TooLarge,       // the body grew past bodyLimit()
        Other,
    };

    /// How a transfer ended: its final answer, or why there is none.
    struct Answer
    {
        enum class Result { Answered, Failed, Cancelled };
        Result result = Result::Cancelled;
        int status = 0;             // HTTP status of the final answer; 0 without one; 200 for a
                                    // body completed by resuming, whose headers are then its first
        Headers headers;            // of the final answer
        PartFile part;              // the whole body, when it was wanted and could be kept
        PartFile::Failure keepFailure;   // why a wanted body could not be kept
        qint32 errorCode = 0;       // for Failed and Cancelled: libcurl's number and text, or ours
        QString errorText;
        Failure failure = Failure::None;
        QString hop;                // for Failed: the address whose request failed
        bool firstHop = true;       // that address is the one asked for, not a redirect's target
        QString proxy;              // "host:port" of the proxy the transfer went through; "" direct
        int tries = 0;              // requests made for it

        bool answered() const { return result == Result::Answered; }
        /// A header of the answer, name matched without regard to case; "" when absent.
        QByteArray header(const QByteArray &name) const;
        QString contentType() const { return QString::fromLatin1(header("Content-Type")); }
    };

    explicit Inet(QObject *parent = nullptr);
    ~Inet() override;

    QString Proxy() const { return m_proxy; }
    void setProxy(const QString &hostColonPort) { m_proxy = hostColonPort; }
    int AccessType() const { return m_accessType; }
    void setAccessType(int type) { m_accessType = type; }

    /// Takes the settings for the transfers that follow and reads the files they name; a file
    /// that cannot be used is named in the result (empty when all is well), and nothing changes.
    QString configure(const Config &config);
    /// Loads the certificates HTTPS transfers will trust with this extra CA file, ahead of them.
    void prepareTls(const QString &caFile) { m_trust.prepare(m_multi, caFile, m_transfers.empty()); }

    /// Why this machine's libcurl cannot make our transfers (too old); empty when it can.
    static QString unusable();

    /// Starts fetching with the proxy settings of this moment and returns at once; the request
    /// goes out when the host's pace allows. An address or proxy that cannot work fails the
    /// transfer before anything is sent.
    TransferId start(const Request &request);
    /// Makes the transfer the one being handled: reports the states it went through so far, in
    /// order, then its new ones, and waits in a nested event loop until it has ended, so the
    /// window keeps handling input meanwhile. The transfer is gone afterwards. A transfer not
    /// known (cancelled before its turn, or waited for already), or a wait while another goes on,
    /// gives a cancelled answer.
    Answer wait(TransferId id);
    /// Ends a transfer at once, leaving no part file; an id not known is ignored.
    void cancel(TransferId id);
    /// True while the transfer has not ended (waiting for its turn, its next try or its answer).
    bool isRunning(TransferId id) const;
    /// True while the transfer waits for its next try (a back-off, or a busy host's wait), with
    /// nothing of it on the wire.
    bool waitsToRetry(TransferId id) const;
    /// For a transfer that has ended but was not waited for yet: whether its answer brought a
    /// body that is kept. Empty while it runs, or for a transfer not known.
    std::optional<bool> keptBody(TransferId id) const;
    /// The pace the host of this address was given in this run, as "6 connections, HTTP/1.1" or
    /// "16 streams, HTTP/2"; "" for a host not asked for.
    QString paceOf(const QString &url) const;
    /// How many transfers the host of this address may take at once now.
    int paceLimit(const QString &url) const;
    /// Transfers started and not yet waited for or cancelled.
    int transferCount() const { return int(m_transfers.size()); }
    /// True while a wait goes on.
    bool isBusy() const { return m_waiting != 0; }

    // The control's own operations, for one transfer at a time.

    /// start() and wait() in one.
    Answer OpenURL(const Request &request) { return wait(start(request)); }
    /// A response header of the last answer waited for; "" when absent.
    QString GetHeader(const QString &name) const;
    /// Ends every transfer at once; a waiting wait() returns.
    void Cancel();
    /// Error code and text of the failure last reported with state 11.
    qint32 ResponseCode() const { return m_responseCode; }
    QString ResponseInfo() const { return m_responseInfo; }

    /// Largest body kept; a longer answer fails. Starts at maxBodyBytes.
    qint64 bodyLimit() const { return m_bodyLimit; }
    void setBodyLimit(qint64 bytes) { m_bodyLimit = bytes; }
    /// The time of stallTimeoutMs, shorter where tests cannot wait that long.
    int stallTimeout() const { return m_stallTimeout; }
    void setStallTimeout(int ms);
    /// How long a host may keep a transfer waiting with busy answers (429, 503), in total, before
    /// the transfers to it fail: busyLimitMs, shorter where tests cannot wait that long.
    int busyLimit() const { return m_busyLimit; }
    void setBusyLimit(int ms) { m_busyLimit = ms; }

Q_SIGNALS:
    void StateChanged(qint16 state);
    /// Body bytes of the transfer being waited for, against its whole length (-1: unknown).
    void Progress(qint64 received, qint64 total);
    /// The transfer being waited for failed in passing and is tried again after seconds.
    void Retrying(int seconds, const QString &reason);
    /// One or more transfers have ended since the last time (answered or failed): room for more.
    void Ended();

private:
    struct Transfer;

    Transfer *find(TransferId id) const;
    void failBeforeStart(Transfer &t, Failure failure, qint32 code, const QString &text);
    bool proxyFor(Transfer &t, QByteArray *proxyUrl);
    bool launch(Transfer &t);
    void pump();
    void settle();
    void detach(Transfer &t);
    void finish(Transfer &t, int result);
    void retryOrEnd(Transfer &t, qint32 code, const QString &text, int retryAfterMs);
    void end(Transfer &t, qint32 code, const QString &text, Failure failure = Failure::None);
    /// Why the proxy would not let a request through: it wants a user, or refused the one given.
    QString proxyAuthText(bool http407) const;
    void holdBusyHost(Transfer &t);
    void emptyPart(Transfer &t);
    bool leftOverOnKeptConnection(const Transfer &t, int result) const;
    void driveTimeouts();
    void driveReady();
    void collect();
    void deliver();
    void checkStalls();
    qint64 now() const { return m_clock.elapsed(); }

    static int socketCallback(void *easy, int socket, int what, void *self, void *socketp);
    static int timerCallback(void *multi, long timeoutMs, void *self);

    void *m_multi = nullptr;
    TlsTrust m_trust;
    std::shared_ptr<void> m_share;      // what the transfers of a run share: TLS sessions, cookies
    void *m_requestHeaders = nullptr;   // the headers every request sends
    QString m_proxy;
    int m_accessType = Direct;
    Config m_config;
    qint64 m_bodyLimit = maxBodyBytes;
    int m_stallTimeout = stallTimeoutMs;
    int m_busyLimit = busyLimitMs;
    QElapsedTimer m_clock;

    std::map<TransferId, std::unique_ptr<Transfer>> m_transfers;
    HostPace m_pace;
    mutable QString m_pacedUrl;         // the address paceLimit() was asked for last, and its host
    mutable QString m_pacedHost;
    TransferId m_nextId = 0;
    TransferId m_current = 0;     // the transfer being waited for
    int m_waiting = 0;
    bool m_delivering = false;
    QEventLoop *m_loop = nullptr;
    QTimer *m_timer = nullptr;      // libcurl's own time-outs
    QTimer *m_stallTimer = nullptr;
    qint64 m_lastStallCheck = -1;
    QTimer *m_pumpTimer = nullptr;  // the next request a host's pace or a back-off holds back
    // libcurl's sockets are watched by one epoll set, itself watched by one notifier: a
    // notifier a socket would cost its creation, and the event loop a wake-up on every change of
    // what is watched, several times a transfer.
    int m_epoll = -1;
    int m_epollError = 0;         // why there is no epoll set
    QSocketNotifier *m_ready = nullptr;

    Headers m_lastHeaders;
    qint32 m_responseCode = 0;
    QString m_responseInfo;
};
