#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

class QEventLoop;
class QNetworkReply;
class QUrl;

/// The internet transfer control: fetches one address at a time into memory, directly or
/// through an HTTP proxy, reporting its states as it goes. One network manager for its life,
/// so consecutive transfers reuse the connection.
class Inet : public QObject
{
    Q_OBJECT

public:
    enum State : qint16 { ResolvingHost = 1, HostResolved = 2, Error = 11 };
    enum AccessTypes { Direct = 1, NamedProxy = 2 };

    /// An answer whose body grows past this is abandoned as a failed transfer.
    static constexpr qint64 maxBodyBytes = qint64(512) * 1024 * 1024;
    /// A transfer that receives nothing for this long fails.
    static constexpr int stallTimeoutMs = 30000;

    explicit Inet(QObject *parent = nullptr);
    ~Inet() override;

    QString Proxy() const { return m_proxy; }
    void setProxy(const QString &hostColonPort) { m_proxy = hostColonPort; }
    int AccessType() const { return m_accessType; }
    void setAccessType(int type) { m_accessType = type; }

    /// Fetches url and returns the body exactly as received, once the transfer has ended.
    /// Waits in a nested event loop, so the window keeps handling input meanwhile. Forgets the
    /// previous answer first. A transfer that cannot be made (or is cancelled) raises state 11
    /// and returns an empty array, with no headers left for GetHeader.
    QByteArray OpenURL(const QString &url, int dataType = 1);

    /// A response header of the last answer (name matched without regard to case); "" when absent.
    QString GetHeader(const QString &name) const;

    /// Ends the transfer in progress at once; a waiting OpenURL returns.
    void Cancel();

    /// Error code and text of the failure last reported with state 11.
    qint32 ResponseCode() const { return m_responseCode; }
    QString ResponseInfo() const { return m_responseInfo; }

    /// True while OpenURL waits.
    bool isBusy() const { return m_busy; }

    /// Largest body accepted; a longer answer fails. Starts at maxBodyBytes.
    qint64 bodyLimit() const { return m_bodyLimit; }
    void setBodyLimit(qint64 bytes) { m_bodyLimit = bytes; }
    /// Milliseconds without data after which a transfer fails. Starts at stallTimeoutMs.
    int stallTimeout() const { return m_stallTimeout; }
    void setStallTimeout(int ms) { m_stallTimeout = ms; }

Q_SIGNALS:
    void StateChanged(qint16 state);

private:
    bool useProxyFor(QString *hostToLookUp);
    bool lookUp(const QString &host);
    enum class Hop { Answer, Redirect, Failed, Gone };
    QByteArray fetch(const QUrl &url);
    Hop fetchOnce(const QUrl &url, QUrl *redirect);
    void takeBody();
    void abandon(qint32 code, const QString &text);
    void fail(qint32 code, const QString &text);

    QNetworkAccessManager m_manager;
    QString m_proxy;
    int m_accessType = Direct;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    qint32 m_responseCode = 0;
    QString m_responseInfo;
    QPointer<QNetworkReply> m_reply;
    QEventLoop *m_loop = nullptr;
    bool m_cancelled = false;
    bool m_busy = false;
    qint64 m_bodyLimit = maxBodyBytes;
    int m_stallTimeout = stallTimeoutMs;
    QByteArray m_body;               // the one copy of the answer being received
    qint32 m_abandonCode = 0;        // set when the transfer itself ended the reply
    QString m_abandonText;
    int m_lookupId = -1;
    quint64 m_lookupTicket = 0;
    bool m_lookupDone = false;
    bool m_lookupFound = false;
    QString m_lookupError;
};
