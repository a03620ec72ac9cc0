#include "tlsnginx.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QVersionNumber>

#include <algorithm>


namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QString run(const QString &program, const QStringList &args, const QString &folder)
{
    QProcess p;
    p.setWorkingDirectory(folder);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("%1 %2 failed: %3").arg(program, args.join(QLatin1Char(' ')),
                                                      QString::fromLocal8Bit(p.readAll()));
    return QString();
}

} // namespace

QString makeCertificates(const QString &folder)
{
    if (QFileInfo::exists(folder + QStringLiteral("/server.pem")))
        return QString();
    const QString openssl = findTool(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        return QStringLiteral("openssl is not installed (make deps installs it)");
    QDir().mkpath(folder);
    // P-256 keys: the handshakes cost little, on both sides alike.
    const QStringList key{QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    writeFile(folder + QStringLiteral("/server.ext"),
              "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n"
              "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    for (const QStringList &args : {
             QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + key
                 + QStringList{QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
                               QStringLiteral("ca.pem"), QStringLiteral("-days"), QStringLiteral("3650"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=Seriograb benchmark CA"),
                               QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:TRUE"),
                               QStringLiteral("-addext"), QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
             QStringList{QStringLiteral("req")} + key
                 + QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
                               QStringLiteral("server.csr"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")},
             QStringList{QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), QStringLiteral("server.csr"),
                         QStringLiteral("-CA"), QStringLiteral("ca.pem"), QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                         QStringLiteral("-CAcreateserial"), QStringLiteral("-days"), QStringLiteral("3650"),
                         QStringLiteral("-extfile"), QStringLiteral("server.ext"), QStringLiteral("-out"),
                         QStringLiteral("server.pem")}}) {
        const QString why = run(openssl, args, folder);
        if (!why.isEmpty())
            return why;
    }
    return QString();
}

TlsNginx::TlsNginx(const QString &documentRoot, const QString &certFolder)
    : NginxFixture(documentRoot)
    , m_certs(QDir(certFolder).absolutePath())
{
    if (binary().isEmpty())
        return;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(binary(), {QStringLiteral("-V")});
    if (p.waitForFinished(30000))
        m_build = p.readAll();
}

QString TlsNginx::http2Lacking() const
{
    if (!m_build.contains("--with-http_ssl_module"))
        return QStringLiteral("this nginx was built without TLS");
    if (!m_build.contains("--with-http_v2_module"))
        return QStringLiteral("this nginx was built without HTTP/2");
    return QString();
}

TlsNginx::~TlsNginx() = default;

qint64 TlsNginx::logSize() const
{
    return QFileInfo(accessLogPath()).size();
}

TlsNginx::Connections TlsNginx::connectionsSince(qint64 logSize, int windowMs) const
{
    Connections result;
    QFile log(accessLogPath());
    if (!log.open(QIODevice::ReadOnly) || !log.seek(logSize))
        return result;
    QSet<QByteArray> seen;
    QSet<QByteArray> protocols;
    QList<double> times;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');   // connection, session reused, protocol, time
        if (f.size() >= 4)
            times << f[3].toDouble() * 1000;
        if (f.size() >= 3)
            ++result.requests;
        if (f.size() < 3 || seen.contains(f[0]))
            continue;
        seen.insert(f[0]);
        ++result.connections;
        if (f[1] == "r")
            ++result.resumed;
        protocols.insert(f[2]);
    }
    std::sort(times.begin(), times.end());
    for (qsizetype first = 0, last = 0; last < times.size(); ++last) {
        while (first < last && times[last] - times[first] >= windowMs)
            ++first;
        result.mostInWindow = qMax(result.mostInWindow, int(last - first + 1));
    }
    QStringList names;
    for (const QByteArray &p : std::as_const(protocols))
        names << QString::fromLatin1(p);
    names.sort();
    result.protocols = names.join(QLatin1Char('+'));
    return result;
}

QByteArray TlsNginx::servers() const
{
    m_http1Port = freeLoopbackPort();
    const QByteArray certs = m_certs.toLocal8Bit();
    const QByteArray root = documentRoot().toLocal8Bit();
    QByteArray config;
    config += "  log_format connections '$connection $ssl_session_reused $server_protocol $msec';\n";
    config += "  access_log " + accessLogPath().toLocal8Bit() + " connections;\n";
    config += "  ssl_certificate " + certs + "/server.pem;\n";
    config += "  ssl_certificate_key " + certs + "/server.key;\n";
    config += "  ssl_session_cache shared:bench:1m;\n";
    // "http2 on" from nginx 1.25.1; before it, a parameter of listen.
    const QString version = QString::fromLatin1(m_build.mid(m_build.indexOf("nginx/") + 6).split('\n').value(0));
    const bool http2On = QVersionNumber::fromString(version) >= QVersionNumber(1, 25, 1);
    config += "  server {\n    listen 127.0.0.1:" + QByteArray::number(port()) + (http2On ? " ssl;\n    http2 on;\n" : " ssl http2;\n");
    config += "    root " + root + ";\n  }\n";
    config += "  server {\n    listen 127.0.0.1:" + QByteArray::number(m_http1Port) + " ssl;\n";
    config += "    root " + root + ";\n  }\n";
    return config;
}
