#pragma once

#include "platform/partfile.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <map>
#include <memory>

class QEventLoop;
class QSocketNotifier;
class QTimer;

/// The internet transfer control: fetches addresses directly or through an HTTP proxy, several at
/// once, on one libcurl multi handle driven by this thread's event loop (so connections are kept
/// alive from one transfer to the next). A transfer streams the body of a wanted answer into a
/// part file; nothing of a body is held in memory. The transfer being waited for reports its
/// states and progress; the others record theirs until their turn.
class Inet : public QObject
{
    Q_OBJECT

public:
    enum State : qint16 { ResolvingHost = 1, HostResolved = 2, Error = 11 };
    enum AccessTypes { Direct = 1, NamedProxy = 2 };

    /// A kept answer whose body grows past this is abandoned as a failed transfer.
    static constexpr qint64 maxBodyBytes = qint64(512) * 1024 * 1024;
    /// A transfer that receives nothing for this long fails.
    static constexpr int stallTimeoutMs = 30000;
    /// The body of an answer that is not kept is read this far, so that a short error page leaves
    /// the connection usable; a longer one ends the transfer there, as an answer.
    static constexpr qint64 discardBytes = qint64(1) * 1024 * 1024;

    using Headers = QList<QPair<QByteArray, QByteArray>>;
    using TransferId = quint64;

    /// What a transfer keeps of its final answer.
    struct Keep
    {
        QString folder;   // the part file is made here ("": the working folder)
        std::function<bool(const QString &contentType)> wanted;   // null: keep no body
    };

    explicit Inet(QObject *parent = nullptr);
    ~Inet() override;

    QString Proxy() const { return m_proxy; }
    void setProxy(const QString &hostColonPort) { m_proxy = hostColonPort; }
    int AccessType() const { return m_accessType; }
    void setAccessType(int type) { m_accessType = type; }
    /// A PEM file of certificates trusted beside the system's for https ("": the system's alone);
    /// applies to transfers started from now on.
    QString caFile() const { return m_caFile; }
    void setCaFile(const QString &path) { m_caFile = path; }

    /// Starts fetching url with the proxy settings of this moment and returns at once. An address
    /// or proxy that cannot work fails the transfer before anything is sent.
    TransferId start(const QString &url, const Keep &keep);
    /// Makes the transfer the one being handled: reports the states it went through so far, in
    /// order, then its new ones, and waits in a nested event loop until it has ended, so the
    /// window keeps handling input meanwhile. Afterwards its answer is the last answer (headers,
    /// part file) and the transfer is gone. False when it failed or was cancelled (state 11 was
    /// reported; a transfer not known counts as cancelled), or when another wait is going on.
    bool wait(TransferId id);
    /// Ends a transfer at once, leaving no part file; an id not known is ignored.
    void cancel(TransferId id);
    /// True while the transfer has not ended.
    bool isRunning(TransferId id) const;
    /// Transfers started and not yet waited for or cancelled.
    int transferCount() const { return int(m_transfers.size()); }

    /// start() and wait() in one, as one transfer at a time. Refused while another wait goes on.
    bool OpenURL(const QString &url, const Keep &keep = Keep());

    /// A response header of the last answer (name matched without regard to case); "" when absent.
    QString GetHeader(const QString &name) const;
    /// HTTP status of the last answer; 0 when there was none.
    int statusCode() const { return m_last.status; }
    /// The whole body of the last answer when it was wanted and kept; the caller gives it its
    /// name or lets it go. Empty otherwise.
    PartFile takePart() { return std::move(m_last.part); }
    /// Why a wanted body of the last answer could not be kept (disk full, no such folder); "" else.
    QString keepError() const { return m_last.keepError; }
    /// True when the last wait ended because the transfer was cancelled.
    bool wasCancelled() const { return m_last.cancelled; }

    /// Ends every transfer at once; a waiting wait() returns.
    void Cancel();

    /// Error code and text of the failure last reported with state 11.
    qint32 ResponseCode() const { return m_responseCode; }
    QString ResponseInfo() const { return m_responseInfo; }

    /// True while a wait goes on.
    bool isBusy() const { return m_waiting != 0; }

    /// Largest body kept; a longer answer fails. Starts at maxBodyBytes.
    qint64 bodyLimit() const { return m_bodyLimit; }
    void setBodyLimit(qint64 bytes) { m_bodyLimit = bytes; }
    /// Milliseconds without data after which a transfer fails. Starts at stallTimeoutMs.
    int stallTimeout() const { return m_stallTimeout; }
    void setStallTimeout(int ms);
    /// Connections kept open to one host at most, and so transfers to it at once. Starts at 4.
    void setMaxConnections(int connections);

Q_SIGNALS:
    void StateChanged(qint16 state);
    /// Body bytes of the transfer being waited for, against its declared length (-1: unknown).
    void Progress(qint64 received, qint64 total);

private:
    struct Transfer;
    struct Answer
    {
        Headers headers;
        int status = 0;
        PartFile part;
        QString keepError;
        bool cancelled = false;
    };

    Transfer *find(TransferId id) const;
    void failBeforeStart(Transfer &t, qint32 code, const QString &text);
    bool proxyFor(Transfer &t, QByteArray *proxyUrl);
    void finish(Transfer &t, int result);
    void end(Transfer &t, qint32 code, const QString &text);
    void drive(int socket, int events);
    void deliver();
    void checkStalls();

    static int socketCallback(void *easy, int socket, int what, void *self, void *socketp);
    static int timerCallback(void *multi, long timeoutMs, void *self);

    void *m_multi = nullptr;
    void *m_requestHeaders = nullptr;   // the headers every request sends
    void *m_share = nullptr;            // TLS sessions, resumed from one transfer to the next
    QString m_caFile;
    QString m_proxy;
    int m_accessType = Direct;
    qint64 m_bodyLimit = maxBodyBytes;
    int m_stallTimeout = stallTimeoutMs;

    std::map<TransferId, std::unique_ptr<Transfer>> m_transfers;
    TransferId m_nextId = 0;
    TransferId m_current = 0;     // the transfer being waited for
    int m_waiting = 0;
    bool m_delivering = false;
    QEventLoop *m_loop = nullptr;
    QTimer *m_timer = nullptr;      // libcurl's own time-outs
    QTimer *m_stallTimer = nullptr;
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };
    QHash<int, Watch> m_sockets;

    Answer m_last;
    qint32 m_responseCode = 0;
    QString m_responseInfo;
};
