#include "fixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QColor>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QImage>
#include <QPainter>
#include <QStandardPaths>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

// Seven-segment digits drawn with rectangles, so no font is needed (tests run without a GUI).
void drawDigit(QPainter &painter, int digit, const QRect &box, const QColor &colour)
{
    static const char *const segments[10] = {"abcdef", "bc", "abdeg", "abcdg", "bcfg",
                                             "acdfg", "acdefg", "abc", "abcdefg", "abcdfg"};
    const int w = box.width();
    const int h = box.height();
    const int t = qMax(2, w / 6);
    const int half = h / 2;
    for (const char *s = segments[digit]; *s; ++s) {
        QRect r;
        switch (*s) {
        case 'a': r = QRect(0, 0, w, t); break;
        case 'b': r = QRect(w - t, 0, t, half); break;
        case 'c': r = QRect(w - t, half, t, h - half); break;
        case 'd': r = QRect(0, h - t, w, t); break;
        case 'e': r = QRect(0, half, t, h - half); break;
        case 'f': r = QRect(0, 0, t, half); break;
        case 'g': r = QRect(0, half - t / 2, w, t); break;
        }
        painter.fillRect(r.translated(box.topLeft()), colour);
    }
}

} // namespace

bool runningUnderCi()
{
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

QString findTool(const QString &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                                     QStringLiteral("/usr/local/sbin")});
    return path;
}

quint16 freeLoopbackPort()
{
    // Below 32768, so the port also fits the program's 16-bit proxy port setting.
    for (int attempt = 0; attempt < 200; ++attempt) {
        const quint16 candidate = quint16(20000 + QRandomGenerator::global()->bounded(12000));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, candidate))
            return candidate;
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

quint16 freeLoopbackPort(quint16 lowest, quint16 highest)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto candidate = quint16(QRandomGenerator::global()->bounded(int(lowest), int(highest) + 1));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, candidate))
            return candidate;
    }
    return 0;
}

RefusedPort::RefusedPort()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
}

RefusedPort::~RefusedPort()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString RefusedPort::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

bool programWithSettings(const QString &folder, const QByteArray &settings)
{
    bool whole = QDir().mkpath(folder);
    for (const QString name : {"seriograb", "default.gif"})
        whole = whole && QFile::copy(QCoreApplication::applicationDirPath() + QLatin1Char('/') + name, folder + QLatin1Char('/') + name);
    QFile par(folder + QStringLiteral("/seriograb.par"));
    return whole && par.open(QIODevice::WriteOnly) && par.write(settings) == settings.size() && par.flush();
}

QStringList writeJpegSeries(const QString &folder, int count, const QString &prefix, int first, QSize size)
{
    QDir().mkpath(folder);
    QStringList paths;
    for (int n = first; n < first + count; ++n) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(QColor::fromHsv((n * 47) % 360, 120, 200));
        QPainter painter(&image);
        // A stripe whose position moves with the number, then the number itself.
        painter.fillRect(QRect(0, (n * 13) % size.height(), size.width(), size.height() / 12),
                         QColor::fromHsv((n * 47 + 180) % 360, 200, 120));
        const QString digits = QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
        const int digitHeight = size.height() / 2;
        const int digitWidth = digitHeight / 2;
        const int gap = digitWidth / 3;
        const int total = int(digits.size()) * (digitWidth + gap) - gap;
        int x = (size.width() - total) / 2;
        for (const QChar c : digits) {
            drawDigit(painter, c.digitValue(), QRect(x, (size.height() - digitHeight) / 2, digitWidth, digitHeight),
                      Qt::white);
            x += digitWidth + gap;
        }
        painter.end();
        const QString path = QDir(folder).filePath(prefix + digits + QStringLiteral(".jpg"));
        if (image.save(path, "JPEG", 85))
            paths.append(path);
    }
    return paths;
}

ServerProcessFixture::ServerProcessFixture(const QString &name)
    : m_name(name)
    , m_binary(findTool(name))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

ServerProcessFixture::~ServerProcessFixture()
{
    stop();
}

bool ServerProcessFixture::start()
{
    if (m_binary.isEmpty()) {
        m_error = m_name + QStringLiteral(" is not installed");
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder for ") + m_name;
        return false;
    }
    // The port is free when chosen but could be taken before the server binds it: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = m_highestPort ? freeLoopbackPort(m_lowestPort, m_highestPort) : freeLoopbackPort();
        m_process.start(m_binary, prepare());
        if (!m_process.waitForStarted(5000)) {
            m_error = m_name + QStringLiteral(" did not start: ") + m_process.errorString();
            return false;
        }
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(200)) {
                probe.disconnectFromHost();
                return true;
            }
            QThread::msleep(50);
        }
        m_process.waitForFinished(200);
        m_error = m_name + QStringLiteral(" does not answer on port %1: ").arg(m_port)
            + QString::fromLocal8Bit(m_process.readAll()) + logForErrors();
        stop();
    }
    return false;
}

void ServerProcessFixture::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
}

NginxFixture::NginxFixture(const QString &documentRoot)
    : ServerProcessFixture(QStringLiteral("nginx"))
    , m_root(QDir(documentRoot).absolutePath())
{
}

NginxFixture::~NginxFixture() = default;

QString NginxFixture::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

QString NginxFixture::accessLogPath() const
{
    return QDir(folder()).filePath(QStringLiteral("access.log"));
}

QStringList NginxFixture::prepare()
{
    const QString dir = folder();
    QByteArray config;
    config += "daemon off;\nworker_processes 1;\n";
    // As root the workers would otherwise switch to an account that cannot read our folder.
    if (::geteuid() == 0)
        config += "user root;\n";
    config += "pid " + dir.toLocal8Bit() + "/nginx.pid;\n";
    config += "error_log " + dir.toLocal8Bit() + "/error.log;\n";
    config += "events { worker_connections 64; }\n";
    config += "http {\n";
    config += "  types { image/jpeg jpg jpeg; image/gif gif; text/html html htm; image/png png; text/plain txt; }\n";
    config += "  default_type application/octet-stream;\n";
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        config += QByteArray("  ") + kind + "_temp_path " + dir.toLocal8Bit() + "/" + kind + ";\n";
    config += servers() + "}\n";
    const QString configPath = QDir(dir).filePath(QStringLiteral("nginx.conf"));
    writeFile(configPath, config);
    return {QStringLiteral("-p"), dir, QStringLiteral("-c"), configPath,
            QStringLiteral("-e"), QDir(dir).filePath(QStringLiteral("error.log"))};
}

QByteArray NginxFixture::servers() const
{
    return "  access_log " + accessLogPath().toLocal8Bit() + ";\n"
         + "  server {\n    listen 127.0.0.1:" + QByteArray::number(port()) + ";\n"
         + "    root " + m_root.toLocal8Bit() + ";\n  }\n";
}

QString NginxFixture::logForErrors() const
{
    return readFile(QDir(folder()).filePath(QStringLiteral("error.log")));
}

TinyproxyFixture::TinyproxyFixture()
    : ServerProcessFixture(QStringLiteral("tinyproxy"))
{
}

TinyproxyFixture::~TinyproxyFixture() = default;

QString TinyproxyFixture::logPath() const
{
    return QDir(folder()).filePath(QStringLiteral("tinyproxy.log"));
}

QString TinyproxyFixture::log() const
{
    return readFile(logPath());
}

QStringList TinyproxyFixture::prepare()
{
    const QString dir = folder();
    QByteArray config;
    config += "Port " + QByteArray::number(port()) + "\n";
    config += "Listen 127.0.0.1\n";
    config += "Timeout 60\n";
    config += "MaxClients 20\n";
    config += "Allow 127.0.0.1\n";
    config += "LogLevel Info\n";
    config += "LogFile \"" + logPath().toLocal8Bit() + "\"\n";
    config += "PidFile \"" + dir.toLocal8Bit() + "/tinyproxy.pid\"\n";
    const QString configPath = QDir(dir).filePath(QStringLiteral("tinyproxy.conf"));
    writeFile(configPath, config);
    return {QStringLiteral("-d"), QStringLiteral("-c"), configPath};
}

QString TinyproxyFixture::logForErrors() const
{
    return log();
}

AuthProxyFixture::AuthProxyFixture(bool socks, const QString &user, const QString &password)
    : ServerProcessFixture(socks ? QStringLiteral("microsocks") : QStringLiteral("squid")), m_user(user), m_password(password)
{
}

AuthProxyFixture::~AuthProxyFixture() = default;

QStringList AuthProxyFixture::prepare()
{
    if (name() == QLatin1String("microsocks"))
        return {"-i", "127.0.0.1", "-p", QString::number(port()), "-u", m_user, "-P", m_password};
    const QString dir = folder();
    // Started by root, squid and its helper run as its own user, who must read these files.
    QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther);
    QProcess hash;
    hash.start(QStringLiteral("openssl"), {QStringLiteral("passwd"), QStringLiteral("-apr1"), m_password});
    hash.waitForFinished(10000);
    const QByteArray passwd = dir.toLocal8Bit() + "/passwd";
    writeFile(QString::fromLocal8Bit(passwd), m_user.toUtf8() + ':' + hash.readAllStandardOutput().trimmed() + '\n');
    QFile::setPermissions(QString::fromLocal8Bit(passwd), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    const QByteArray config = "http_port 127.0.0.1:" + QByteArray::number(port()) + "\npid_filename " + dir.toLocal8Bit()
        + "/squid.pid\ncache deny all\ncache_mem 8 MB\naccess_log none\ncache_store_log none\ncache_log /dev/stderr\n"
          "pinger_enable off\nshutdown_lifetime 0 seconds\nauth_param basic program /usr/lib/squid/basic_ncsa_auth "
        + passwd + "\nacl users proxy_auth REQUIRED\nhttp_access allow localhost users\nhttp_access deny all\n";
    writeFile(dir + QStringLiteral("/squid.conf"), config);
    return {QStringLiteral("-N"), QStringLiteral("-f"), dir + QStringLiteral("/squid.conf")};
}
