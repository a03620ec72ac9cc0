#pragma once

#include "fixtures.h"

#include <QString>

/// Makes the benchmark's own certificate authority and a certificate for 127.0.0.1 signed by it
/// in folder (ca.pem, server.pem, server.key), with the openssl tool. "" when done, else why not.
QString makeCertificates(const QString &folder);

/// Real nginx serving documentRoot over HTTPS with the certificate in certFolder: HTTP/2 and
/// HTTP/1.1 on port(), HTTP/1.1 alone on http1Port(). The access log gives each request's
/// connection and whether its TLS session was resumed.
class TlsNginx : public NginxFixture
{
public:
    TlsNginx(const QString &documentRoot, const QString &certFolder);
    ~TlsNginx() override;
    quint16 http1Port() const { return m_http1Port; }
    /// Why this nginx cannot offer HTTP/2; "" when it can.
    QString http2Lacking() const;

    /// What the access log says since the given size of it: distinct connections that asked
    /// for something, and how many of them resumed an earlier TLS session.
    struct Connections
    {
        int requests = 0;
        int connections = 0;
        int resumed = 0;
        QString protocols;   // as nginx names them, e.g. "HTTP/2.0"
        int mostInWindow = 0;   // the most requests that came within one window of time
    };
    /// windowMs: a round trip of the client's, so mostInWindow is how many it had in flight.
    Connections connectionsSince(qint64 logSize, int windowMs = 0) const;
    qint64 logSize() const;

protected:
    QByteArray servers() const override;

private:
    QString m_certs;
    mutable quint16 m_http1Port = 0;   // chosen anew with each configuration
    QByteArray m_build;                // what `nginx -V` says of the build
};
