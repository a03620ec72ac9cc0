#include "core/settings.h"
#include "platform/programplace.h"
#include "ui/dialogs/frmoptions.h"
#include "ui/main/frmseriograb.h"
#include "platform/keyring.h"
#include "fixtures.h"
#include "scriptedserver.h"
#include "windowharness.h"

#include <QDirIterator>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

// The proxy password goes to a real Secret Service (gnome-keyring on the test's own D-Bus).
class TestKeyring : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QProcess m_bus, m_keyring;

    QString startSecretService()
    {
        for (const char *tool : {"dbus-daemon", "gnome-keyring-daemon"})
            if (findTool(QLatin1String(tool)).isEmpty())
                return QLatin1String(tool) + QStringLiteral(" is not installed");
        QDir(m_home.path()).mkdir(QStringLiteral("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("HOME", m_home.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", m_home.filePath(QStringLiteral("data")).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", m_home.filePath(QStringLiteral("run")).toLocal8Bit());
        m_bus.start(findTool(QStringLiteral("dbus-daemon")), {"--session", "--nofork", "--print-address=1"});
        if (!m_bus.waitForReadyRead(10000))
            return QStringLiteral("dbus-daemon did not start: ") + m_bus.errorString();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        // The password on its input creates and unlocks the login keyring.
        m_keyring.start(findTool(QStringLiteral("gnome-keyring-daemon")), {"--foreground", "--components=secrets", "--unlock"});
        m_keyring.write("seriograb");
        m_keyring.closeWriteChannel();
        // The service answers before it has made the login keyring, which a busy machine shows:
        // it is ready when a password can be stored.
        QString why;
        bool stored = false;
        for (int i = 0; i < 50 && !(stored = keyring::storeProxyPassword(QStringLiteral("nobody"), QStringLiteral("-"), &why)); ++i)
            QTest::qWait(200);
        return stored ? QString() : QStringLiteral("the Secret Service takes no password: ") + why;
    }

private Q_SLOTS:
    // Typed whole into Proxy Server: after OK the password is in the keyring, in no file under
    // the settings folder, and back at the next start.
    void initTestCase()
    {
        if (const QString why = startSecretService(); !why.isEmpty()) {
            if (runningUnderCi())
                QFAIL(qPrintable(why));
            QSKIP(qPrintable(why));
        }
    }

    void thePasswordIsKeptInTheKeyringOnly()
    {
        QTemporaryDir folder;
        const ProgramPlace place{folder.path(), QStringLiteral("seriograb"), {}, {}};
        Settings settings;
        QWidget main;
        auto *dlg = new frmOptions(settings, place, &main);
        dlg->show();
        dlg->findChild<QLineEdit *>(QStringLiteral("txtProxyIP"))->setText(QStringLiteral("alice:s3cret@127.0.0.1"));
        dlg->findChild<QLineEdit *>(QStringLiteral("txtProxyPort"))->setText(QStringLiteral("3128"));
        QTest::mouseClick(dlg->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
        QCOMPARE(settings.proxyUser + QLatin1Char('|') + settings.proxyPassword, QStringLiteral("alice|s3cret"));
        QCOMPARE(settings.keyring, Settings::Keyring::Answers);
        for (QDirIterator files(folder.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); files.hasNext();) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly) && !file.readAll().contains("s3cret"));
        }
        QVERIFY(QFile::exists(place.parameterFile()));

        Settings next;
        auto *w = new frmSeriograb(next, place);
        w->setAttribute(Qt::WA_DeleteOnClose);
        QCOMPARE(next.proxyUser + QLatin1Char('|') + next.proxyPassword, QStringLiteral("alice|s3cret"));
        QCOMPARE(next.keyring, Settings::Keyring::Answers);
        w->close();
    }

    // seriograb --get gives the proxy the password the window keeps in the keyring.
    void theRunWithoutAWindowHasItToo()
    {
        QString why;
        QVERIFY2(keyring::storeProxyPassword(QStringLiteral("bob"), QStringLiteral("pa55"), &why), qPrintable(why));
        ScriptedServer proxy;
        proxy.routeOthers(Response::ok("picture", "image/jpeg"));
        QTemporaryDir folder;
        QVERIFY(programWithSettings(folder.path(), "[PROXYIP]\r\n127.0.0.1\r\n[PROXYPORT]\r\n" + QByteArray::number(proxy.port())
                                                       + "\r\n[PROXYUSER]\r\nbob\r\n"));
        QProcess program;
        program.start(folder.filePath(QStringLiteral("seriograb")),
                      {"--get", "--folder", folder.filePath(QStringLiteral("out")), "--max", "1", "--if-exists", "number",
                       "http://pictures.invalid/pic01.jpg"});
        QVERIFY(QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(proxy.requests().size(), 1);
        QCOMPARE(proxy.requests().first().header("Proxy-Authorization"), "Basic " + QByteArray("bob:pa55").toBase64());
    }
};

QTEST_MAIN(TestKeyring)
#include "tst_keyring.moc"
