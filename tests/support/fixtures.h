#pragma once

#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

/// True when the environment says CI=true: then a missing nginx or tinyproxy is a failure.
bool runningUnderCi();

/// Full path of a program found on PATH or in the system folders; empty when missing.
QString findTool(const QString &name);

/// A loopback port below 32768 (a proxy port must fit 16 bits signed), free a moment ago.
quint16 freeLoopbackPort();

/// A loopback port from lowest to highest, free a moment ago; 0 when none was found.
quint16 freeLoopbackPort(quint16 lowest, quint16 highest);

/// A loopback port that refuses every connection for as long as this lives: bound but never
/// listening, so no server of a test running beside this one can take it meanwhile.
class RefusedPort
{
public:
    RefusedPort();
    ~RefusedPort();
    RefusedPort(const RefusedPort &) = delete;
    RefusedPort &operator=(const RefusedPort &) = delete;
    quint16 port() const { return m_port; }
    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const;

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

/// Copies the program built beside the test (and its fallback picture) into folder, with a
/// parameter file holding settings, so it runs from there with the settings of its own.
/// False when a file could not be put there.
bool programWithSettings(const QString &folder, const QByteArray &settings);

/// Writes count distinct JPEG pictures, prefix + two-digit number + ".jpg" from first on,
/// into folder (created when missing). Each shows its number. Returns the file paths.
QStringList writeJpegSeries(const QString &folder, int count, const QString &prefix = QStringLiteral("pic"),
                            int first = 1, QSize size = QSize(160, 120));

/// A real server process started from a generated configuration in its own temporary folder,
/// on a free loopback port, and stopped when the fixture goes.
class ServerProcessFixture
{
public:
    virtual ~ServerProcessFixture();

    /// The program's path; empty when it is not installed.
    QString binary() const { return m_binary; }
    QString name() const { return m_name; }
    /// Starts it and waits until the port answers; false with errorText() when it did not.
    bool start();
    void stop();
    QString errorText() const { return m_error; }
    quint16 port() const { return m_port; }
    QString folder() const { return m_dir.path(); }
    /// Makes start() listen on a port from lowest to highest instead of one below 32768.
    void setPortRange(quint16 lowest, quint16 highest) { m_lowestPort = lowest; m_highestPort = highest; }

protected:
    explicit ServerProcessFixture(const QString &name);
    /// Writes the configuration into folder() and gives the program's arguments.
    virtual QStringList prepare() = 0;
    virtual QString logForErrors() const = 0;

private:
    QString m_name;
    QString m_binary;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    quint16 m_lowestPort = 0;
    quint16 m_highestPort = 0;   // 0: the ports freeLoopbackPort() gives
    QString m_error;
};

/// Real nginx serving documentRoot at http://127.0.0.1:port(), with types for .jpg, .gif, .html.
class NginxFixture : public ServerProcessFixture
{
public:
    explicit NginxFixture(const QString &documentRoot);
    ~NginxFixture() override;
    /// "http://127.0.0.1:<port>" followed by path.
    QString url(const QString &path) const;
    QString accessLogPath() const;

protected:
    QStringList prepare() override;
    QString logForErrors() const override;
    /// What the configuration's http block holds besides types and temporary folders: the
    /// access log and the server on port(), serving documentRoot().
    virtual QByteArray servers() const;
    QString documentRoot() const { return m_root; }

private:
    QString m_root;
};

/// Real tinyproxy on 127.0.0.1:port(), allowing only 127.0.0.1, logging every request.
class TinyproxyFixture : public ServerProcessFixture
{
public:
    TinyproxyFixture();
    ~TinyproxyFixture() override;
    QString logPath() const;
    /// The log as it stands now.
    QString log() const;

protected:
    QStringList prepare() override;
    QString logForErrors() const override;
};

/// Skips the test for want of a fixture (a program, a library, a privilege), saying why; under
/// CI, where every fixture must be there, fails it instead.
#define SKIP_OR_FAIL_UNDER_CI(why)                                                                \
    do {                                                                                          \
        const QByteArray missing = QString(why).toLocal8Bit();                                    \
        if (runningUnderCi())                                                                     \
            QFAIL(missing.constData());                                                           \
        QSKIP(missing.constData());                                                               \
    } while (false)
/// A real proxy on 127.0.0.1:port() that lets through only the user it is given: squid (HTTP,
/// checked by its basic_ncsa_auth helper) or microsocks (SOCKS5). Logs nothing.
class AuthProxyFixture : public ServerProcessFixture
{
public:
    AuthProxyFixture(bool socks, const QString &user, const QString &password);
    ~AuthProxyFixture() override;

protected:
    QStringList prepare() override;
    QString logForErrors() const override { return {}; }

private:
    QString m_user, m_password;
};

/// Starts a fixture; skips the test when its program is missing, but fails it under CI.
#define START_FIXTURE_OR_SKIP(fixture)                                                            \
    do {                                                                                          \
        if ((fixture).binary().isEmpty())                                                         \
            SKIP_OR_FAIL_UNDER_CI((fixture).name() + QStringLiteral(" is not installed"));        \
        QVERIFY2((fixture).start(), qPrintable((fixture).errorText()));                           \
    } while (false)
