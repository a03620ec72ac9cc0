#include "core/settings.h"
#include "platform/programplace.h"
#include "ui/dialogs/frmoptions.h"
#include "ui/main/frmseriograb.h"
#include "ui/main/keyring.h"
#include "fixtures.h"
#include "windowharness.h"

#include <QDirIterator>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The proxy password goes to a real Secret Service (gnome-keyring in a D-Bus session of the
// test's own) and nowhere else.
class TestKeyring : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QProcess m_bus;
    QProcess m_keyring;
    QString m_unavailable;   // why no Secret Service runs here

    QString startSecretService()
    {
        for (const char *tool : {"dbus-daemon", "gnome-keyring-daemon"})
            if (findTool(QLatin1String(tool)).isEmpty())
                return QLatin1String(tool) + QStringLiteral(" is not installed");
        const QString run = m_home.filePath(QStringLiteral("run"));
        QDir().mkpath(run);
        QFile::setPermissions(run, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("HOME", m_home.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", m_home.filePath(QStringLiteral("data")).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", run.toLocal8Bit());
        m_bus.start(findTool(QStringLiteral("dbus-daemon")), {"--session", "--nofork", "--print-address=1"});
        if (!m_bus.waitForReadyRead(10000))
            return QStringLiteral("dbus-daemon did not start: ") + m_bus.errorString();
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.readLine().trimmed());
        // The password on its input creates and unlocks the login keyring.
        m_keyring.start(findTool(QStringLiteral("gnome-keyring-daemon")),
                        {"--foreground", "--components=secrets", "--unlock"});
        if (!m_keyring.waitForStarted(10000))
            return QStringLiteral("gnome-keyring-daemon did not start: ") + m_keyring.errorString();
        m_keyring.write("seriograb");
        m_keyring.closeWriteChannel();
        QString why;
        for (int i = 0; i < 50; ++i) {
            if (keyring::readProxyPassword(QStringLiteral("nobody")).answered)
                return {};
            QTest::qWait(200);
        }
        return QStringLiteral("the Secret Service does not answer: ") + keyring::readProxyPassword(QStringLiteral("nobody")).why;
    }

private Q_SLOTS:
    void initTestCase() { m_unavailable = startSecretService(); }

    void init()
    {
        if (!m_unavailable.isEmpty()) {
            if (runningUnderCi())
                QFAIL(qPrintable(m_unavailable));
            QSKIP(qPrintable(m_unavailable));
        }
    }

    void cleanupTestCase()
    {
        for (QProcess *p : {&m_keyring, &m_bus}) {
            p->terminate();
            p->waitForFinished(5000);
        }
    }

    void cleanup() { harness::closeAllWindows(); }

    // Typed whole into Proxy Server, or into More Options' own fields: after OK the password is
    // in the keyring, in no file under the settings folder, and back at the next start.
    void thePasswordIsKeptInTheKeyringOnly()
    {
        QTemporaryDir folder;
        ProgramPlace place;
        place.folder = folder.path();
        place.name = QStringLiteral("seriograb");
        Settings settings;
        settings.lastFile = 9999;
        QWidget main;
        main.setEnabled(false);
        QPointer<frmOptions> dlg = new frmOptions(settings, place, &main);
        dlg->show();
        dlg->findChild<QLineEdit *>(QStringLiteral("txtProxyIP"))->setText(QStringLiteral("alice:s3cret@127.0.0.1"));
        dlg->findChild<QLineEdit *>(QStringLiteral("txtProxyPort"))->setText(QStringLiteral("3128"));
        QTest::mouseClick(dlg->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
        QVERIFY(!dlg->isVisible());
        QCOMPARE(settings.proxyUser + QLatin1Char('|') + settings.proxyPassword, QStringLiteral("alice|s3cret"));
        QCOMPARE(settings.keyring, Settings::Keyring::Answers);

        QDirIterator files(folder.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        int looked = 0;
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(!file.readAll().contains("s3cret"), qPrintable(file.fileName()));
            ++looked;
        }
        QVERIFY(looked > 0);
        QCOMPARE(keyring::readProxyPassword(QStringLiteral("alice")).secret, QStringLiteral("s3cret"));

        Settings next;
        auto *w = new frmSeriograb(next, place);
        w->setAttribute(Qt::WA_DeleteOnClose);
        QCOMPARE(next.proxyUser + QLatin1Char('|') + next.proxyPassword, QStringLiteral("alice|s3cret"));
        QCOMPARE(next.keyring, Settings::Keyring::Answers);
    }
};

QTEST_MAIN(TestKeyring)
#include "tst_keyring.moc"
