#include "fixtures.h"
#include "scriptedserver.h"
#include "windowharness.h"

#include <QComboBox>
#include <QScopeGuard>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace harness;

namespace {

// Root writes where the permission bits forbid it. Without these capabilities this thread (the
// one the transfers write from) meets the bits like anyone else; allowed again, it has them back.
bool overridesPermissions(bool allowed)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        __user_cap_data_struct &word = data[cap / 32];
        const quint32 bit = 1u << (cap % 32);
        word.effective = allowed ? word.effective | (word.permitted & bit) : word.effective & ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

/// Settings files people edited by hand or that broke on a disk, and folders that are not
/// there: the program starts, says what is wrong in one line, keeps downloading, and never
/// leaves a stored file worse than it found it.
class TestBrokenFiles : public QObject
{
    Q_OBJECT

    std::unique_ptr<Folders> m_folders;
    std::unique_ptr<ScriptedServer> m_server;
    Settings m_settings;
    QString m_oldCurrent;

private Q_SLOTS:
    void init()
    {
        m_folders = std::make_unique<Folders>();
        m_server = std::make_unique<ScriptedServer>();
        m_settings = Settings();
        // A settings file that names no target folder makes files land in the working folder.
        m_oldCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_folders->out));
    }

    void cleanup()
    {
        closeAllWindows();
        QDir::setCurrent(m_oldCurrent);
        m_server.reset();
        m_folders.reset();
    }

    void parameterFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("complaint");   // part of the start-up status line; empty: none
        QTest::addColumn<QString>("headerText");  // as read at start-up

        QTest::newRow("binary garbage") << noise(4096) << "seriograb.par" << "";
        QTest::newRow("garbage after good blocks")
                << "[HEADERTEXT]\r\nh_\r\n" + noise(300) << "seriograb.par" << "h_";
        QTest::newRow("CR-only line ends") << QByteArray("[HEADERTEXT]\rh_\r[LASTFILE]\r2\r")
                                           << "seriograb.par" << "";
        QTest::newRow("header as the last line") << QByteArray("[HEADERTEXT]\r\nh_\r\n[LASTFILE]")
                                                 << "" << "h_";
        QTest::newRow("1 MB line") << "[HEADERTEXT]\r\nh_\r\n[NOTES]\r\n" + QByteArray(1 << 20, 'n') + "\r\n"
                                   << "" << "h_";
        QByteArray big;
        for (int i = 0; big.size() < 20 * 1024 * 1024; ++i)
            big += "[KEY" + QByteArray::number(i) + "]\r\nvalue of a key nobody reads\r\n";
        QTest::newRow("20 MB file") << big + "[HEADERTEXT]\r\nh_\r\n" << "" << "h_";
        QTest::newRow("NUL bytes in a value") << QByteArray("[HEADERTEXT]\r\nh\0_\r\n", 17) << ""
                                             << QString::fromLatin1("h\0_", 3);
    }

    void parameterFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, complaint);
        QFETCH(QString, headerText);
        QVERIFY(writeFile(m_folders->place.parameterFile(), content));
        m_server->routeSeries({1, 2});

        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        const QString said = status(w);
        QVERIFY2(!said.contains(QLatin1Char('\n')) && said.size() < 400, qPrintable(said.left(400)));
        if (complaint.isEmpty())
            QVERIFY2(said.isEmpty(), qPrintable(said));
        else
            QVERIFY2(said.contains(complaint), qPrintable(said));
        QCOMPARE(m_settings.headerText, headerText);

        // It still downloads (into the working folder when no target folder was read).
        trigger(w, "mul");
        click(w, "btnGet");
        QCOMPARE(endText(status(w)), QStringLiteral("Downloading Stopped because Multiple Download Option is OFF"));
        const QString target = m_settings.localFolder.isEmpty() ? m_folders->out : m_settings.localFolder;
        QCOMPARE(contents(target + QLatin1Char('/') + headerText + QStringLiteral("pic01.jpg")), QByteArray("picture 1"));

        // Storing the settings keeps what the file held and makes them readable again.
        trigger(w, "opt");
        QWidget *options = nullptr;
        QTRY_VERIFY((options = openWindow("frmOptions")));
        options->findChild<QLineEdit *>(QStringLiteral("txtHead"))->setText(QStringLiteral("new_"));
        options->findChild<QLineEdit *>(QStringLiteral("txtLast"))->setText(QStringLiteral("7"));
        QTest::mouseClick(options->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
        QTRY_VERIFY(w->isEnabled());
        const QByteArray stored = contents(m_folders->place.parameterFile());
        QVERIFY(stored.size() >= content.size());
        QCOMPARE(entries(m_folders->place.folder), QStringList({QStringLiteral("history.par"), QStringLiteral("seriograb.par")}));

        Settings again;
        frmSeriograb *second = makeWindow(again, m_folders->place, QString());
        QCOMPARE(again.headerText, QStringLiteral("new_"));
        QCOMPARE(int(again.lastFile), 7);
        QCOMPARE(again.localFolder, m_settings.localFolder);
        second->close();
    }

    void historyFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("kept");     // bytes that must survive a save, in order
        QTest::addColumn<int>("listed");          // entries in the prefix box's list at start; -1: many

        const QByteArray junk = noise(2000).replace('\n', 'x').replace('\r', 'y');
        QTest::newRow("binary garbage line") << junk + "\r\n" << junk + "\r\n" << 0;
        QTest::newRow("CR-only line ends") << QByteArray("other=x\rcmburl1=http://a/,http://b/\r")
                                           << QByteArray("other=x\r") << 0;
        QByteArray many = "cmburl1=";
        for (int i = 0; many.size() < 1024 * 1024; ++i)
            many += "http://host/" + QByteArray::number(i) + "/,";
        QTest::newRow("1 MB line") << "keep=me\r\n" + many + "\r\n" << QByteArray("keep=me\r\n") << -1;
        QByteArray huge;
        for (int i = 0; huge.size() < 20 * 1024 * 1024; ++i)
            huge += "box" + QByteArray::number(i) + "=http://one/,http://two/\r\n";
        QTest::newRow("20 MB file") << huge + "cmburl1=http://a/\r\n" << huge << 1;
    }

    void historyFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, kept);
        QFETCH(int, listed);
        QVERIFY(m_folders->writeParameters());
        const QString history = m_folders->place.file(QStringLiteral("history.par"));
        QVERIFY(writeFile(history, content));
        m_server->routeSeries({1});

        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        auto *box = w->findChild<QComboBox *>(QStringLiteral("cmbURL1"));
        if (listed >= 0)
            QCOMPARE(box->count(), listed);
        QVERIFY2(!status(w).contains(QLatin1Char('\n')), qPrintable(status(w)));

        trigger(w, "mul");
        click(w, "btnGet");
        QCOMPARE(endText(status(w)), QStringLiteral("Downloading Stopped because Multiple Download Option is OFF"));
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic01.jpg"))), QByteArray("picture 1"));
        const QByteArray saved = contents(history);
        QVERIFY2(saved.contains(kept), saved.left(200).toPercentEncoding().constData());
        QVERIFY(saved.contains("cmburl1="));
        QVERIFY(box->count() >= 1 && box->count() <= 5);
        QCOMPARE(box->itemText(box->count() - 1), m_server->url(QStringLiteral("/pic")));
    }

    void targetFolders_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("left");   // the number left on the picture that could not be saved
        QTest::addColumn<int>("reason");
        QTest::newRow("a regular file") << 0 << "01" << ENOTDIR;
        QTest::newRow("missing") << 1 << "01" << ENOENT;
        QTest::newRow("removed during the run") << 2 << "02" << ENOENT;
        QTest::newRow("file-size limit reached") << 3 << "01" << EFBIG;
        QTest::newRow("no permission to write") << 4 << "01" << EACCES;
        QTest::newRow("read-only file system") << 5 << "01" << EROFS;
        QTest::newRow("file system full") << 6 << "01" << ENOSPC;
    }
    // A folder that no picture can go into ends the run at the first picture that cannot be
    // saved: no more requests, no part file, and the number stays where the next Get goes on.
    void targetFolders()
    {
        QFETCH(int, kind);
        QFETCH(QString, left);
        QFETCH(int, reason);
        const QString folder = m_folders->dir.filePath(QStringLiteral("target"));
        if (kind == 0)
            QVERIFY(writeFile(folder, "I am a file"));
        if (kind >= 2)
            QVERIFY(QDir().mkpath(folder));
        const auto unmount = qScopeGuard([&] {
            if (kind >= 5)
                ::umount2(folder.toLocal8Bit().constData(), MNT_DETACH);
        });
        if (kind >= 5) {
            if (::geteuid() != 0)
                SKIP_OR_FAIL_UNDER_CI(QStringLiteral("mounting a small file system for the target folder needs root"));
            QVERIFY2(::mount("tmpfs", folder.toLocal8Bit().constData(), "tmpfs", kind == 5 ? MS_RDONLY : 0, "size=64k") == 0,
                     std::strerror(errno));
        }
        const auto permitted = qScopeGuard([] { overridesPermissions(true); });
        if (kind == 4) {
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
            QVERIFY2(overridesPermissions(false), std::strerror(errno));
        }
        QVERIFY(writeFile(m_folders->place.parameterFile(),
                          "[LOCALFOLDER]\r\n" + folder.toUtf8() + "\r\n[LASTFILE]\r\n40\r\n[REPEATS]\r\nsave\r\n"));
        m_server->routeOthers(Response::ok(QByteArray(200000, 'p'), "image/jpeg"));
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        if (kind == 2) {
            connect(statusLine(w), &StatusLine::textChanged, w, [folder](const QString &text) {
                if (text.endsWith(QLatin1String("pic02.jpg")))
                    QDir(folder).removeRecursively();
            });
        }
        rlimit before = {};
        ::getrlimit(RLIMIT_FSIZE, &before);
        const auto restore = qScopeGuard([&] { ::setrlimit(RLIMIT_FSIZE, &before); });
        if (kind == 3) {
            rlimit small = before;
            small.rlim_cur = 100000;
            QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        click(w, "btnGet");

        QCOMPARE(number(w), left);
        QVERIFY2(status(w).startsWith(QLatin1String("Downloading Stopped because the folder cannot be written: "))
                     && endText(status(w)).endsWith(QString::fromLocal8Bit(std::strerror(reason))),
                 qPrintable(status(w)));
        // What was on its way when the run ended may still land; nothing comes after that.
        QTest::qWait(100);
        const qsizetype asked = m_server->requests().size();
        QTest::qWait(200);
        QCOMPARE(m_server->requests().size(), asked);
        if (kind == 0)
            QCOMPARE(contents(folder), QByteArray("I am a file"));
        else if (kind >= 3)
            QCOMPARE(entries(folder), QStringList());   // not even a part file
        else
            QVERIFY(!QFileInfo::exists(folder));
    }

    void settingsLocation_data()
    {
        QTest::addColumn<bool>("writable");       // the program folder
        QTest::addColumn<QString>("stored");      // where settings and history are at start: "program",
                                                  // "data" (the install's data folder) or nowhere
        QTest::addColumn<bool>("xdgSet");         // XDG_CONFIG_HOME set, else ~/.config
        QTest::addColumn<bool>("installed");      // default.gif in the data folder, not beside the program
        QTest::newRow("writable program folder") << true << "program" << true << false;
        QTest::newRow("writable, starting values installed") << true << "data" << true << false;
        QTest::newRow("writable, an installed program") << true << "data" << true << true;
        QTest::newRow("read-only, nothing stored") << false << "" << true << false;
        QTest::newRow("read-only, settings and history stored") << false << "program" << true << false;
        QTest::newRow("read-only, starting values installed") << false << "data" << true << true;
        QTest::newRow("read-only, XDG_CONFIG_HOME unset") << false << "program" << false << false;
    }

    // Settings stay in the program folder when it can be written and is not an install's folder
    // of programs; otherwise they go to the user's settings folder. Either starts from what the
    // program folder holds, or else the install's data folder, and neither of those is written then.
    void settingsLocation()
    {
        QFETCH(bool, writable);
        QFETCH(QString, stored);
        QFETCH(bool, xdgSet);
        QFETCH(bool, installed);
        const bool storedThere = !stored.isEmpty();
        const QByteArray home = qgetenv("HOME"), xdg = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("HOME", home); qputenv("XDG_CONFIG_HOME", xdg); });
        qputenv("HOME", m_folders->dir.filePath(QStringLiteral("home")).toUtf8());
        xdgSet ? qputenv("XDG_CONFIG_HOME", m_folders->dir.filePath(QStringLiteral("config")).toUtf8())
               : qunsetenv("XDG_CONFIG_HOME");
        ProgramPlace &place = m_folders->place;
        place.userFolder = ProgramPlace::userSettingsFolder();
        QCOMPARE(place.userFolder, m_folders->dir.filePath(xdgSet ? "config/seriograb" : "home/.config/seriograb"));
        place.dataFolder = m_folders->dir.filePath(QStringLiteral("share"));
        QVERIFY(QDir().mkpath(place.dataFolder));
        if (installed)
            QVERIFY(QFile::copy(QStringLiteral(":/logo.gif"), place.dataFolder + QStringLiteral("/default.gif")));
        const QString given = stored == QLatin1String("data") ? place.dataFolder : place.folder;
        if (storedThere) {
            QVERIFY(writeFile(given + QStringLiteral("/seriograb.par"),
                              "[LOCALFOLDER]\r\n" + m_folders->out.toUtf8() + "\r\n[HEADERTEXT]\r\nh_\r\n[NOTES]\r\nkept\r\n"));
            QVERIFY(writeFile(given + QStringLiteral("/history.par"), "cmburl1=http://old/\r\n"));
        }
        auto givenFiles = [&] {
            return entries(given).join(' ').toUtf8() + contents(given + QStringLiteral("/seriograb.par"))
                + contents(given + QStringLiteral("/history.par"));
        };
        const QByteArray before = givenFiles();
        // Read-only for real: permission bits do not stop root, so a test run as root acts as
        // nobody meanwhile, in folders left open to it.
        bool dropped = false;
        const auto back = qScopeGuard([&] {
            QVERIFY(!dropped || (::seteuid(0) == 0 && ::setegid(0) == 0));
            QFile(place.folder).setPermissions(QFileDevice::Permissions(0x7777));
        });
        if (!writable) {
            for (const QString &open : {m_folders->dir.path(), m_folders->out})
                QFile(open).setPermissions(QFileDevice::Permissions(0x7777));
            QFile(place.folder).setPermissions(QFileDevice::Permissions(0x5555));
            dropped = ::geteuid() == 0 && ::setegid(65534) == 0 && ::seteuid(65534) == 0;
        }
        QCOMPARE(QTemporaryFile(place.file(QStringLiteral("probe-XXXXXX"))).open(), writable);
        m_server->routeSeries({1});

        frmSeriograb *w = makeWindow(m_settings, place, m_server->url(QStringLiteral("/pic")));
        QCOMPARE(status(w), QString());
        QCOMPARE(m_settings.headerText, storedThere ? QStringLiteral("h_") : QString());
        QCOMPARE(w->findChild<QComboBox *>(QStringLiteral("cmbURL1"))->count(), storedThere ? 1 : 0);
        // Nothing is copied before the first write; a first start makes its empty settings file.
        QCOMPARE(QFileInfo::exists(place.userFolder), (!writable || installed) && !storedThere);

        trigger(w, "mul");
        click(w, "btnGet");
        QCOMPARE(endText(status(w)), QStringLiteral("Downloading Stopped because Multiple Download Option is OFF"));
        trigger(w, "opt");
        QWidget *options = nullptr;
        QTRY_VERIFY((options = openWindow("frmOptions")));
        options->findChild<QLineEdit *>(QStringLiteral("txtHead"))->setText(QStringLiteral("new_"));
        QTest::mouseClick(options->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
        QTRY_VERIFY(w->isEnabled());

        const QString kept = writable && !installed ? place.folder : place.userFolder;
        const QByteArray settings = contents(kept + QStringLiteral("/seriograb.par"));
        QVERIFY2(settings.contains("[HEADERTEXT]\r\nnew_\r\n"), settings.constData());
        QCOMPARE(settings.contains("[NOTES]\r\nkept\r\n"), storedThere);
        const QByteArray url = m_server->url(QStringLiteral("/pic")).toUtf8();
        QCOMPARE(contents(kept + QStringLiteral("/history.par")), "cmburl1=" + (storedThere ? "http://old/," + url : url) + "\r\n");
        QCOMPARE(entries(kept), QStringList({QStringLiteral("history.par"), QStringLiteral("seriograb.par")}));
        QCOMPARE(QFileInfo::exists(place.userFolder), !writable || installed);
        if (!writable || given != place.folder)
            QCOMPARE(givenFiles(), before);
        Settings again;
        makeWindow(again, place, QString());
        QCOMPARE(again.headerText, QStringLiteral("new_"));
        closeAllWindows();
    }

    void programFolderThatCannotBeWritten_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("under a regular file") << 0;
        QTest::newRow("settings and history are folders") << 1;
    }

    // The settings cannot be kept, but the program says so once and still downloads.
    void programFolderThatCannotBeWritten()
    {
        QFETCH(int, kind);
        if (kind == 0) {
            QVERIFY(writeFile(m_folders->dir.filePath(QStringLiteral("blocker")), "a file"));
            m_folders->place.folder = m_folders->dir.filePath(QStringLiteral("blocker/program"));
            m_folders->place.userFolder = m_folders->dir.filePath(QStringLiteral("blocker/config/seriograb"));
        } else {
            QVERIFY(QDir().mkpath(m_folders->place.parameterFile()));
            QVERIFY(QDir().mkpath(m_folders->place.file(QStringLiteral("history.par"))));
        }
        m_server->routeSeries({1});
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        const QString said = status(w);
        QVERIFY2(said.contains(QLatin1String("settings"), Qt::CaseInsensitive) && !said.contains(QLatin1Char('\n')), qPrintable(said));
        QVERIFY2(said.size() < 400, qPrintable(said));

        trigger(w, "mul");
        click(w, "btnGet");
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic01.jpg"))), QByteArray("picture 1"));
        QVERIFY2(status(w).startsWith(QLatin1String("Downloading Stopped because Multiple Download Option is OFF")),
                 qPrintable(status(w)));
        QVERIFY2(status(w).contains(QLatin1String("history")), qPrintable(status(w)));
        if (kind == 1) {
            QVERIFY(QFileInfo(m_folders->place.parameterFile()).isDir());
            QVERIFY(QFileInfo(m_folders->place.file(QStringLiteral("history.par"))).isDir());
        }
    }
};

QTEST_MAIN(TestBrokenFiles)
#include "tst_brokenfiles.moc"
