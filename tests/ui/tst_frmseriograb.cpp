#include "core/settings.h"
#include "platform/programplace.h"
#include "platform/twips.h"
#include "ui/main/addresspaste.h"
#include "ui/dialogs/frmrunlog.h"
#include "ui/main/frmseriograb.h"
#include "ui/main/previewfit.h"
#include "ui/main/statusline.h"
#include "ui/main/updown.h"
#include "fixtures.h"
#include "scriptedserver.h"
#include "windowharness.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QContextMenuEvent>
#include <QProcess>
#include <QRegularExpression>
#include <QTextBlock>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QComboBox>
#include <QCheckBox>
#include <QHeaderView>
#include <QTableView>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include <csignal>

namespace {

QRect px(int left, int top, int width, int height)
{
    return QRect(twips::toPixels(left), twips::toPixels(top), twips::toPixels(width),
                 twips::toPixels(height));
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    ProgramPlace m_place;
    Settings m_settings;
    QTemporaryDir m_desktop;   // holds an xdg-open that notes in "opened" what it was asked to open

    std::unique_ptr<frmSeriograb> makeWindow()
    {
        auto w = std::make_unique<frmSeriograb>(m_settings, m_place);
        return w;
    }

    template<class T> T *child(QWidget *w, const char *name)
    {
        T *c = w->findChild<T *>(QLatin1String(name));
        if (!c)
            qWarning("no child %s", name);
        return c;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QFile opener(m_desktop.filePath(QStringLiteral("xdg-open")));
        QVERIFY(opener.open(QIODevice::WriteOnly) && opener.write("#!/bin/sh\ncase \"$1\" in *nomethod) echo \"xdg-open: no method available for opening '$1'\" >&2;"
                                                              " exit 3;; esac\necho \"$1\" >>\"$0\"ed\n") > 0);
        QVERIFY(opener.setPermissions(opener.permissions() | QFile::ExeOwner));
        qputenv("PATH", m_desktop.path().toUtf8() + ':' + qgetenv("PATH"));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_place.folder = m_dir->path();
        m_place.name = QStringLiteral("seriograb");
        m_settings = Settings();
    }

    // Each row stores one numbered setting (a null text: no block for it) beside three text
    // settings; a value out of range or unknown keeps the default and is named once.
    void startUpReadsTheSettings_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::addColumn<bool>("complaint");

        auto row = [](const char *key, const char *name, const char *text, int value, bool complaint = false) {
            QTest::addRow("%s %s", key, name) << key << (text ? QByteArray(text) : QByteArray()) << value << complaint;
        };
        row("lastFile", "zero becomes 9999", "0", 9999);
        row("lastFile", "empty becomes 9999", "", 9999);
        row("lastFile", "no number becomes 9999", "abc", 9999);
        row("lastFile", "number then text", "25xyz", 25);
        row("lastFile", "2.5 to even", "2.5", 2);
        row("lastFile", "3.5 to even", "3.5", 4);
        row("lastFile", "negative stays", "-5", -5);
        row("lastFile", "too big is ignored", "40000", 9999, true);
        row("proxyPort", "8080", "8080", 8080);
        row("proxyPort", "above 32767", "40000", 40000);
        row("proxyPort", "65535", "65535", 65535);
        row("proxyPort", "65536 is ignored", "65536", 0, true);
        row("proxyPort", "negative is ignored", "-1", 0, true);
        row("proxyPort", "letters are 0", "web", 0);
        row("transfers", "missing means auto", nullptr, Settings::autoTransfers);
        row("transfers", "auto, case aside", " Auto ", Settings::autoTransfers);
        row("transfers", "1", "1", 1);
        row("transfers", "8 then text", "8 at once", 8);
        row("transfers", "0 is ignored", "0", Settings::autoTransfers, true);
        row("transfers", "9 is ignored", "9", Settings::autoTransfers, true);
        row("maxMisses", "missing means 10", nullptr, 10);
        row("maxMisses", "0 means never", "0", 0);
        row("maxMisses", "9999", "9999", 9999);
        row("maxMisses", "10000 is ignored", "10000", 10, true);
        row("maxMisses", "negative is ignored", "-1", 10, true);
        row("ifExists", "missing means ask", nullptr, int(Settings::IfExists::Ask));
        row("ifExists", "skip", "skip", int(Settings::IfExists::Skip));
        row("ifExists", "number, in any case", " Number ", int(Settings::IfExists::Number));
        row("ifExists", "unknown is ignored", "rename", int(Settings::IfExists::Ask), true);
        row("retries", "11 is ignored", "11", 3, true);
        row("keep", "all, in any case", " All ", int(Settings::Keep::All));
    }

    void startUpReadsTheSettings()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QFETCH(bool, complaint);

        QByteArray par = "[LOCALFOLDER]\r\n/tmp/pics\r\n[HEADERTEXT]\r\nx_\r\n[PROXYIP]\r\n127.0.0.1\r\n";
        if (!text.isNull())
            par += "[" + key.toUpper().toUtf8() + "]\r\n" + text + "\r\n";
        setContents(m_place.file(QStringLiteral("seriograb.par")), par);
        auto w = makeWindow();
        QCOMPARE(m_settings.localFolder, QStringLiteral("/tmp/pics"));
        QCOMPARE(m_settings.headerText, QStringLiteral("x_"));
        QCOMPARE(m_settings.proxyIP, QStringLiteral("127.0.0.1"));
        const QHash<QString, int> read = {
            {"lastFile", m_settings.lastFile}, {"proxyPort", m_settings.proxyPort},
            {"transfers", m_settings.transfers}, {"maxMisses", m_settings.maxMisses},
            {"ifExists", int(m_settings.ifExists)}, {"retries", m_settings.retries}, {"pause", m_settings.pauseMs}, {"keep", int(m_settings.keep)}};
        QCOMPARE(read.value(key), value);
        QCOMPARE(int(m_settings.multipleDownloads), -1);
        QCOMPARE(m_settings.historyPath, m_place.file(QStringLiteral("history.par")));
        QCOMPARE(w->helpFile(), m_place.file(QStringLiteral("Seriograb.hlp")));
        const QString status = child<StatusLine>(w.get(), "sbar1")->text();
        QCOMPARE(status.count(key), complaint ? 1 : 0);
    }

    void firstStartCreatesAnEmptyParameterFile()
    {
        auto w = makeWindow();
        QFile par(m_place.file(QStringLiteral("seriograb.par")));
        QVERIFY(par.exists());
        QCOMPARE(par.size(), 0);
        QCOMPARE(int(m_settings.lastFile), 9999);
        QCOMPARE(int(m_settings.proxyPort), 0);
        QVERIFY(m_settings.headerText.isEmpty());
        QVERIFY(child<StatusLine>(w.get(), "sbar1")->text().isEmpty());
    }

    void historyFillsThePrefixList()
    {
        setContents(m_place.file(QStringLiteral("history.par")), "other=x\r\ncmburl1=http://a/p,http://b/q\r\n");
        auto w = makeWindow();
        auto *box = child<QComboBox>(w.get(), "cmbURL1");
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->itemText(0), QStringLiteral("http://a/p"));
        QCOMPARE(box->itemText(1), QStringLiteral("http://b/q"));
        QVERIFY(box->currentText().isEmpty());
    }

    void unreadableSettingsStillOpenTheWindow()
    {
        // A folder where the parameter file should be cannot be read as one.
        QVERIFY(QDir(m_place.folder).mkdir(QStringLiteral("seriograb.par")));
        auto w = makeWindow();
        QCOMPARE(int(m_settings.lastFile), 9999);
        QVERIFY(!child<StatusLine>(w.get(), "sbar1")->text().isEmpty());
    }

    void multipleDownloadsSwitch()
    {
        auto w = makeWindow();
        auto *mul = child<QAction>(w.get(), "mul");
        QCOMPARE(mul->text(), QStringLiteral("Multiple Downloads - ON"));
        mul->trigger();
        QCOMPARE(int(m_settings.multipleDownloads), 0);
        QCOMPARE(mul->text(), QStringLiteral("Multiple Downloads - OFF"));
        mul->trigger();
        QCOMPARE(int(m_settings.multipleDownloads), -1);
        QCOMPARE(mul->text(), QStringLiteral("Multiple Downloads - ON"));
    }

    void menus()
    {
        auto w = makeWindow();
        const QList<QPair<const char *, QString>> items = {
            {"get", QStringLiteral("Get Files")}, {"stp", QStringLiteral("Stop Downloading")},
            {"runLog", QStringLiteral("Run Log")}, {"exit", QStringLiteral("Exit")},
            {"opt", QStringLiteral("Options")},   {"more", QStringLiteral("More Options…")},
            {"hlp", QStringLiteral("Help")},
        };
        for (const auto &[name, caption] : items) {
            auto *a = child<QAction>(w.get(), name);
            QVERIFY2(a, name);
            QCOMPARE(a->text(), caption);
            QVERIFY(a->shortcut().isEmpty());
        }
        QStringList operations;
        for (const QAction *a : child<QMenu>(w.get(), "opr")->actions())
            operations << a->objectName();
        QCOMPARE(operations, QStringList({"get", "stp", "runLog", "pasteAddress", "openList", "openFolder", "sep1", "exit"}));
    }

    // The window keeps the last lines whether or not the log is open; the log leaves the
    // main window usable, shows them as a table that takes a turn's lines in one insertion,
    // and goes with the main window.
    void runLogKeepsTheLastLines()
    {
        auto w = makeWindow();
        w->show();
        auto openLog = [&w]() -> QPointer<frmRunLog> {
            w->findChild<QAction *>(QStringLiteral("runLog"))->trigger();
            return qobject_cast<frmRunLog *>(harness::openWindow("frmRunLog"));
        };
        for (int n = 1; n <= 10005; ++n)
            w->logPass(QStringLiteral("%1  http://h/p%1.jpg  no picture: text/html, HTTP status 404").arg(n));
        QPointer<frmRunLog> log = openLog();
        QVERIFY(log);
        QVERIFY(w->isEnabled());
        auto *table = log->findChild<QTableView *>(QStringLiteral("tblLog"));
        QSignalSpy inserted(table->model(), &QAbstractItemModel::rowsInserted);
        w->logPass(QStringLiteral("10006  http://h/p10006.jpg  failed: refused"));
        w->logPass(QStringLiteral("== Completed downloading maximum number if files (10006) - 0 saved, %1").arg(QString(40, 'w').replace("w", "word ")));
        QCOMPARE(log->shownLines().size(), 10000);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(log->shownLines().first().section(' ', 0, 0), QStringLiteral("8"));
        QVERIFY(log->shownLines().last().startsWith(QLatin1String("== Completed")));
        QCOMPARE(table->model()->index(9998, 2).data().toString(), QStringLiteral("failed: refused"));
        QCOMPARE(table->verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
        QCOMPARE(table->rowHeight(9998), table->rowHeight(0));
        // The end report spans the row and wraps onto more than one line.
        QCOMPARE(table->columnSpan(9999, 0), 4);
        QVERIFY(table->rowHeight(9999) > 2 * table->rowHeight(0));

        log->close();
        QTRY_VERIFY(log.isNull());
        w->logPass(QStringLiteral("10007  http://h/p10007.jpg  no picture: text/html, HTTP status 404"));
        log = openLog();
        QCOMPARE(log->shownLines().size(), 10000);
        QCOMPARE(log->shownLines().first().section(' ', 0, 0), QStringLiteral("9"));
        w->close();
        QTRY_VERIFY(log.isNull());
    }

    // Only what went wrong, under its run's rows; copied rows as text; back where it was left.
    void runLogFiltersCopiesAndKeepsItsPlace()
    {
        auto w = makeWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const QStringList lines = {"== 2026-01-01 10:00:00  http://h/p1.jpg  into /tmp", "1  http://h/p1.jpg  saved as /tmp/p1.jpg",
                                   "2  http://h/p2.jpg  failed: refused (error 7)", "3  http://h/p3.jpg  skipped: \"p3.jpg\" exists",
                                   "4  http://h/p4.jpg  no picture: text/html, HTTP status 404", "== User Terminated Download Process"};
        for (const QString &line : lines)
            w->logPass(line);
        child<QAction>(w.get(), "runLog")->trigger();
        QPointer<frmRunLog> log = qobject_cast<frmRunLog *>(harness::openWindow("frmRunLog"));
        QCOMPARE(log->shownLines(), lines);
        log->findChild<QCheckBox *>(QStringLiteral("chkWrongOnly"))->setChecked(true);
        QCOMPARE(log->shownLines(), QStringList({lines[0], lines[2], lines[4], lines[5]}));
        auto *table = log->findChild<QTableView *>(QStringLiteral("tblLog"));
        QCOMPARE(table->columnSpan(3, 0), 4);
        QCOMPARE(table->columnSpan(1, 0), 1);
        table->selectAll();
        QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 lines[0] + "\n2\thttp://h/p2.jpg\tfailed: refused (error 7)\t\n"
                                 "4\thttp://h/p4.jpg\tno picture: text/html, HTTP status 404\t\n" + lines[5] + "\n");
        log->move(log->pos() + QPoint(0, 20));
        log->resize(log->size() - QSize(30, 20));
        const QRect place = log->frameGeometry();
        log->close();
        QTRY_VERIFY(log.isNull());
        child<QAction>(w.get(), "runLog")->trigger();
        log = qobject_cast<frmRunLog *>(harness::openWindow("frmRunLog"));
        QCOMPARE(log->frameGeometry(), place);
    }

    // Bytes and saved pictures show beside the status line during a run only, and leave its
    // text alone.
    void progressShowsOnlyDuringARun()
    {
        auto w = makeWindow();
        w->show();
        auto *bar = child<QProgressBar>(w.get(), "prgTransfer");
        auto *saved = child<QLabel>(w.get(), "lblSaved");
        QSignalSpy texts(child<StatusLine>(w.get(), "sbar1"), &StatusLine::textChanged);
        QVERIFY(!bar->isVisible() && !saved->isVisible());
        w->runActive(true);
        QVERIFY(bar->isVisible() && saved->isVisible());
        w->transferProgress(300, 1200);
        w->savedCount(3);
        QTRY_COMPARE(bar->value(), 25);
        QCOMPARE(saved->text(), QStringLiteral("3 saved"));
        w->transferProgress(5000, -1);   // no declared length: a busy bar
        QTRY_COMPARE(bar->maximum(), 0);
        w->runActive(false);
        QVERIFY(!bar->isVisible() && !saved->isVisible());
        QCOMPARE(texts.count(), 0);
    }

    // A text wider than the status line ends in "…"; its tooltip and accessible name are all of it.
    void statusLineCanBeReadWhole()
    {
        auto w = makeWindow();
        w->show();
        QWidget *text = child<QWidget>(w.get(), "sbar1Text");
        const QString report = QStringLiteral("Downloading Stopped because 10 numbers in a row gave no picture - 20 saved, %1").arg(QString(99, 'x'));
        w->addMsg(report);
        const QString shown = child<StatusLine>(w.get(), "sbar1")->shownText();
        QVERIFY2(shown.endsWith(QChar(0x2026)) && report.startsWith(shown.chopped(1)), qPrintable(shown));
        QCOMPARE(text->toolTip(), report);
        QCOMPARE(QAccessible::queryAccessibleInterface(text)->role(), QAccessible::StaticText);
        QCOMPARE(QAccessible::queryAccessibleInterface(text)->text(QAccessible::Name), report);
    }

    // Paste Address (Ctrl+Shift+V) and a drop anywhere on the window, fields too, split an address.
    void pasteAndDropSplitAnAddress()
    {
        auto w = makeWindow();
        w->show();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        QGuiApplication::clipboard()->setText(QStringLiteral(" https://h.org/g/img_0042.jpg?size=1024\n"));
        QTest::keyClick(child<QLineEdit>(w.get(), "txtURL3"), Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(QStringList({w->prefixText(), w->numberText(), w->suffixText()}),
                 QStringList({"https://h.org/g/img_", "0042", ".jpg?size=1024"}));
        // Ctrl+V or the context menu's Paste in any field splits a whole address; other text pastes as ever.
        const QStringList split = {"http://p.org/a", "7", ".png"};
        for (const char *name : {"cmbURL1", "txtURL2", "txtURL3"}) {
            QWidget *f = child<QWidget>(w.get(), name);
            f->setFocus();
            QGuiApplication::clipboard()->setText(QStringLiteral("http://p.org/a7.png"));
            QTest::keyClick(f, Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(QStringList({w->prefixText(), w->numberText(), w->suffixText()}), split);
            w->setAddress(QStringLiteral("https://h.org/g/img_0042.jpg"));
            auto *edit = qobject_cast<QComboBox *>(f) ? qobject_cast<QComboBox *>(f)->lineEdit() : qobject_cast<QLineEdit *>(f);
            QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(2, 2), edit->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(edit, &menu);
            QTRY_VERIFY(QApplication::activePopupWidget());
            AddressPaste::pasteAction(qobject_cast<QMenu *>(QApplication::activePopupWidget()))->trigger();
            QApplication::activePopupWidget()->close();
            QCOMPARE(QStringList({w->prefixText(), w->numberText(), w->suffixText()}), split);
            QGuiApplication::clipboard()->setText(QStringLiteral("9"));
            edit->selectAll();
            QTest::keyClick(f, Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(edit->text(), QStringLiteral("9"));
        }
        QMimeData data;
        data.setText(QStringLiteral("https://h.org/about.html"));
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QVERIFY(QApplication::sendEvent(w.get(), &enter) && enter.isAccepted() && QApplication::sendEvent(w.get(), &drop));
        QCOMPARE(QStringList({w->prefixText(), w->numberText(), w->suffixText()}), QStringList({"https://h.org/about.html", "", ""}));
        QVERIFY(child<StatusLine>(w.get(), "sbar1")->text().startsWith(QLatin1String("No number found")));
    }

    // Open Folder, and Enter or a double-click on a Run Log line of a saved picture, open them on
    // the desktop; a missing folder gets a status line.
    void openFolderAndSavedPicturesOnTheDesktop()
    {
        const QString picture = m_dir->filePath(QStringLiteral("pic 02.jpg"));
        QVERIFY(QFile(picture).open(QIODevice::WriteOnly));
        auto w = makeWindow();
        m_settings.localFolder = m_dir->path();
        child<QAction>(w.get(), "openFolder")->trigger();
        w->logPass(QStringLiteral("02  http://h/pic%2002.jpg  saved as %1 (2 tries)").arg(picture));
        child<QAction>(w.get(), "runLog")->trigger();
        auto *log = harness::openWindow("frmRunLog")->findChild<QTableView *>();
        log->setCurrentIndex(log->model()->index(0, 1));
        QTest::keyClick(log, Qt::Key_Return);
        QTest::mouseClick(log->viewport(), Qt::LeftButton, {}, log->visualRect(log->currentIndex()).center());
        QTest::mouseDClick(log->viewport(), Qt::LeftButton, {}, log->visualRect(log->currentIndex()).center());
        m_settings.localFolder = m_dir->filePath(QStringLiteral("gone"));
        child<QAction>(w.get(), "openFolder")->trigger();
        QCOMPARE(child<StatusLine>(w.get(), "sbar1")->text(), QStringLiteral("Cannot open %1: it does not exist").arg(m_settings.localFolder));
        // A folder no program takes: xdg-open's own words in the status line.
        m_settings.localFolder = m_dir->filePath(QStringLiteral("nomethod"));
        QVERIFY(QDir().mkpath(m_settings.localFolder));
        child<QAction>(w.get(), "openFolder")->trigger();
        QTRY_COMPARE(child<StatusLine>(w.get(), "sbar1")->text(),
                     QStringLiteral("No program could open %1 (xdg-open: no method available for opening '%1')").arg(m_settings.localFolder));
        const QString opened = m_desktop.filePath(QStringLiteral("xdg-opened"));   // in any order: each opener runs apart
        QTRY_COMPARE(contents(opened).size(), m_dir->path().size() + 2 * picture.size() + 3);
        QCOMPARE(QString::fromUtf8(contents(opened)).split('\n').count(picture), 2);
    }

    // The program started as from a shell with no display at all.
    static void startWithoutADisplay(QProcess &program, const QString &folder, const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        program.setProcessEnvironment(env);
        program.start(folder + QStringLiteral("/seriograb"), arguments);
    }

    // --help, --version and a wrong command line are answered without any display.
    void commandLineWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("printed");   // standard output, "|", standard error
        const QString usage = QStringLiteral("\n\nUsage: [\\s\\S]*");
        QTest::newRow("--version") << QStringList{"--version"} << 0 << QRegularExpression::escape("seriograb " SERIOGRAB_VERSION "\n|");
        QTest::newRow("--help") << QStringList{"-h"} << 0 << "Usage: \\S*seriograb \\[options\\] \\[ADDRESS...\\]\n[\\s\\S]*"
                                   "--max <N> [\\s\\S]*--if-exists <ask\\|skip\\|number>[\\s\\S]*\\|";
        QTest::newRow("no display") << QStringList() << 1
                                    << "\\|Seriograb needs a graphical display \\(DISPLAY or WAYLAND_DISPLAY is not set\\)\n";
        QTest::newRow("unknown option") << QStringList{"--bogus", "http://h/1.jpg"} << 2 << "\\|Unknown option 'bogus'." + usage;
        QTest::newRow("--get without an address") << QStringList{"--get", "--if-exists", "skip"} << 2
                                                  << "\\|--get needs an ADDRESS or a --list FILE." + usage;
        QTest::newRow("--max out of range") << QStringList{"--get", "--max", "32768", "http://h/1.jpg"} << 2
                                            << "\\|--max takes a whole number from 0 to 32767." + usage;
        QTest::newRow("--keep unknown") << QStringList{"--get", "--keep", "png", "http://h/1.jpg"} << 2
                                        << "\\|--keep takes gifjpeg or all." + usage;
        QTest::newRow("--folder without --get") << QStringList{"--folder", "/tmp", "http://h/1.jpg"} << 2
                                                << "\\|--folder, --header, --max, --if-exists and --keep go with --get." + usage;
        QTest::newRow("ask without a terminal") << QStringList{"--get", "--if-exists", "ask", "http://h/1.jpg"} << 2
                                                << "\\|seriograb: a file that exists cannot be asked about without a terminal: "
                                                   "give --if-exists skip or --if-exists number\n";
    }

    void commandLineWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, printed);
        QProcess program;
        startWithoutADisplay(program, QCoreApplication::applicationDirPath(), arguments);
        QVERIFY(program.waitForFinished(60000) && program.exitStatus() == QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        const QString both = QString::fromUtf8(program.readAllStandardOutput() + '|' + program.readAllStandardError());
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(printed)).match(both).hasMatch(), qPrintable(both));
    }

    // A copy of the program in a folder of its own, with the settings file beside it.
    QString programWithSettings(const QByteArray &settings)
    {
        const QString folder = m_dir->filePath(QStringLiteral("program"));
        if (!::programWithSettings(folder, settings))
            qWarning("the program could not be copied to %s", qPrintable(folder));
        return folder;
    }

    // seriograb --get runs every series without a window: a line a number and each end report
    // on standard output, the files in the folder (made when missing), the exit status; the
    // settings files untouched.
    // In the patterns %1 is the server, %2 the folder, %3 a list file naming %1/b/img01.jpg.
    void getWithoutAWindow_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("by their end and their maximum")
                << QStringList{"--get", "--folder", "%2", "--if-exists", "skip", "--max", "4", "%1/a/pic01.jpg", "--list", "%3"} << 0
                << "== [^\n]*  Series 1 of 2: %1/a/pic01.jpg  into %2\n"
                   "01  %1/a/pic01.jpg  saved as %2/pic01.jpg\n"
                   "02  %1/a/pic02.jpg  no picture: [^\n]*\n"
                   "03  %1/a/pic03.jpg  no picture: [^\n]*\n"
                   "(?:== pace: [^\n]*\n)?== Downloading Stopped because 2 numbers in a row gave no picture - 1 saved, 2 gave no picture\n"
                   "== [^\n]*  Series 2 of 2: %1/b/img01.jpg  into %2\n"
                   "(0[1-4]  %1/b/img0[1-4].jpg  saved as %2/img0[1-4].jpg\n){4}"
                   "(?:== pace: [^\n]*\n)?== Completed downloading maximum number if files \\(4\\) - 4 saved, 0 gave no picture\n"
                   "== 2 series: 2 ended with their series - 5 saved\n"
                << QStringList{"img01.jpg", "img02.jpg", "img03.jpg", "img04.jpg", "pic01.jpg"};
        QTest::newRow("a failing server ends its series alone")
                << QStringList{"--get", "--folder", "%2", "--max", "1", "http://127.0.0.1:1/x01.jpg", "%1/b/img01.jpg"} << 1
                << "== [^\n]*  Series 1 of 2: http://127.0.0.1:1/x01.jpg  into %2\n"
                   "01  http://127.0.0.1:1/x01.jpg  failed: [^\n]*\n"
                   "(?:== pace: [^\n]*\n)?== Downloading Stopped because the server at 127.0.0.1:1 refused the connection [^\n]*\n"
                   "== [^\n]*  Series 2 of 2: %1/b/img01.jpg  into %2\n"
                   "01  %1/b/img01.jpg  saved as %2/img01.jpg\n"
                   "(?:== pace: [^\n]*\n)?== Completed downloading maximum number if files \\(1\\) - 1 saved, 0 gave no picture\n"
                   "== 2 series: 1 ended with their series, 1 failed - 1 saved\n"
                << QStringList{"img01.jpg"};
        QTest::newRow("a folder that cannot be written ends them all")
                << QStringList{"--get", "--folder", "%3", "%1/a/pic01.jpg", "%1/b/img01.jpg"} << 1
                << "== [^\n]*  Series 1 of 2: %1/a/pic01.jpg  into %3\n"
                   "01  %1/a/pic01.jpg  not saved: [^\n]*\n"
                   "(?:== pace: [^\n]*\n)?== Downloading Stopped because the folder cannot be written: [^\n]*\n"
                   "== 1 series: 0 ended with their series, 1 failed - 0 saved - 1 still waiting - "
                   "the queue ended: the folder cannot be written\n"
                << QStringList();
    }

    void getWithoutAWindow()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, output);
        QFETCH(QStringList, files);
        ScriptedServer server;
        server.route(QStringLiteral("/a/pic01.jpg"), Response::ok("a1", "image/jpeg"));
        for (int n = 1; n <= 5; ++n)
            server.route(QStringLiteral("/b/img%1.jpg").arg(n, 2, 10, QLatin1Char('0')), Response::ok("b" + QByteArray::number(n), "image/jpeg"));
        const QByteArray settings = "[MAXMISSES]\r\n2\r\n[IFEXISTS]\r\nnumber\r\n";
        const QString folder = programWithSettings(settings);
        const QString out = m_dir->filePath(QStringLiteral("out"));
        const QString list = m_dir->filePath(QStringLiteral("list.txt"));
        QVERIFY(writeFile(list, "# the b series\r\n\r\n  " + server.url(QStringLiteral("/b/img01.jpg")).toUtf8() + "\n"));
        const QStringList values = {server.url(QString()), out, list};
        auto fillIn = [&values](QString text, const std::function<QString(const QString &)> &as) {
            for (qsizetype i = 0; i < values.size(); ++i)
                text.replace(QLatin1Char('%') + QString::number(i + 1), as(values[i]));
            return text;
        };
        for (QString &argument : arguments)
            argument = fillIn(argument, [](const QString &value) { return value; });

        QProcess program;
        startWithoutADisplay(program, folder, arguments);
        QVERIFY(QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        const QString printed = QString::fromUtf8(program.readAllStandardOutput());
        const QRegularExpression pattern(QRegularExpression::anchoredPattern(fillIn(output, [](const QString &value) { return QRegularExpression::escape(value); })));
        QVERIFY2(pattern.match(printed).hasMatch(), qPrintable(printed + program.readAllStandardError()));
        QCOMPARE(program.exitCode(), status);
        QCOMPARE(entries(out), files);
        QCOMPARE(entries(folder), QStringList({"default.gif", "seriograb", "seriograb.par"}));
        QCOMPARE(contents(folder + QStringLiteral("/seriograb.par")), settings);
    }

    // Ctrl+C stops as Stop does: the transfer cancelled, no part file left, the end report
    // printed, and 130 for the status.
    void ctrlCStopsLikeStop()
    {
        ScriptedServer server;
        server.route(QStringLiteral("/pic01.jpg"), Response::ok("first", "image/jpeg"));
        Response stall = Response::ok(QByteArray(50000, 's'), "image/jpeg");
        stall.stallAfter = 10;
        server.routeOthers(stall);
        const QString folder = programWithSettings("[TRANSFERS]\r\n1\r\n");
        const QString out = m_dir->filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        QProcess program;
        startWithoutADisplay(program, folder,
                             {"--get", "--folder", out, "--if-exists", "number", server.url(QStringLiteral("/pic01.jpg")),
                              QStringLiteral("http://h/next01.jpg")});
        QVERIFY(QTest::qWaitFor([&] { return server.paths().contains(QStringLiteral("/pic02.jpg")); }, 60000));
        QVERIFY(QTest::qWaitFor([&] { return entries(out).size() == 2; }));   // pic01.jpg and a part file
        QCOMPARE(::kill(pid_t(program.processId()), SIGINT), 0);
        QVERIFY(QTest::qWaitFor([&] { return program.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 130);
        QCOMPARE(entries(out), QStringList{QStringLiteral("pic01.jpg")});
        QStringList lines = QString::fromUtf8(program.readAllStandardOutput()).split(QLatin1Char('\n'));
        lines.removeIf([](const QString &line) { return line.startsWith(QLatin1String("== pace: ")); });
        QCOMPARE(lines.mid(lines.size() - 4),
                 QStringList({QStringLiteral("02  %1  cancelled by Stop").arg(server.url(QStringLiteral("/pic02.jpg"))),
                              QStringLiteral("== User Terminated Download Process - 1 saved, 0 gave no picture"),
                              QStringLiteral("== 1 series: 0 ended with their series, 1 stopped - 1 saved - 1 still waiting"),
                              QString()}));
    }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("cmbURL1") << "cmbURL1" << px(120, 120, 3375, 315);
        QTest::newRow("txtURL2") << "txtURL2" << px(3600, 120, 780, 285);
        QTest::newRow("UpDown1") << "UpDown1" << px(4440, 120, 195, 285);
        QTest::newRow("txtURL3") << "txtURL3" << px(4680, 120, 615, 285);
        QTest::newRow("btnGet") << "btnGet" << px(5400, 120, 1215, 375);
        QTest::newRow("btnStop") << "btnStop" << px(6720, 120, 1215, 375);
    }

    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        auto w = makeWindow();
        auto *c = w->findChild<QWidget *>(name);
        QVERIFY(c);
        QCOMPARE(c->geometry(), geometry);
    }

    void contentAtCreationAndTabOrder()
    {
        auto w = makeWindow();
        QCOMPARE(child<QLineEdit>(w.get(), "txtURL2")->text(), QStringLiteral("01"));
        QCOMPARE(child<QLineEdit>(w.get(), "txtURL3")->text(), QStringLiteral(".jpg"));
        QCOMPARE(child<QPushButton>(w.get(), "btnGet")->text(), QStringLiteral("Get"));
        QCOMPARE(child<QPushButton>(w.get(), "btnStop")->text(), QStringLiteral("Stop"));
        QCOMPARE(w->windowTitle(), QStringLiteral("Seriograb"));
        QVERIFY(!child<QLabel>(w.get(), "img1")->pixmap().isNull());
        QCOMPARE(child<QLabel>(w.get(), "img1")->pixmap().size(), QSize(250, 120));

        // Tab order of the design, among the controls that take the focus.
        const QStringList order = {"txtURL3", "btnGet", "txtURL2", "btnStop", "cmbURL1"};
        QStringList seen;
        QWidget *at = w->findChild<QWidget *>(QStringLiteral("txtURL3"));
        for (int steps = 0; steps < 200 && seen.size() < order.size(); ++steps) {
            if (order.contains(at->objectName()) && !seen.contains(at->objectName()))
                seen << at->objectName();
            at = at->nextInFocusChain();
        }
        QCOMPARE(seen, order);
    }

    void opensAtItsStartSize()
    {
        auto w = makeWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QCOMPARE(w->frameGeometry().width(), twips::toPixels(8300));
        QCOMPARE(w->frameGeometry().height(), twips::toPixels(4000));
    }

    void springsBackToTheMinimumSize()
    {
        auto w = makeWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        w->resize(200, 60);
        QTRY_VERIFY(w->frameGeometry().width() >= twips::toPixels(8300));
        QTRY_VERIFY(w->frameGeometry().height() >= twips::toPixels(2100));
    }

    void oneFitAfterTheLastResize()
    {
        auto w = makeWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        auto *img = child<QLabel>(w.get(), "img1");
        auto *timer = child<QTimer>(w.get(), "Timer1");
        QTRY_VERIFY(!timer->isActive());   // the first fit after showing

        for (int width = 600; width <= 800; width += 50)
            w->resize(width, 400);
        QVERIFY(timer->isActive());
        QTRY_VERIFY(!timer->isActive());

        // The logo fitted to the final area, centred.
        QCOMPARE(w->height(), 400);
        const int areaW = twips::fromPixels(twips::toPixels(twips::fromPixels(w->frameGeometry().width()) - 300));
        const int statusTop = w->centralWidget()->height();
        const int areaH = twips::fromPixels(twips::toPixels(twips::fromPixels(statusTop) - 600));
        const QSize him = previewfit::himetric(QSize(250, 120));
        const PreviewRect r = previewfit::fit(areaW, areaH, him.width(), him.height());
        QCOMPARE(img->geometry(), px(r.left, r.top, r.width, r.height));
        QVERIFY(img->isVisible());
        QVERIFY(img->geometry().bottom() < statusTop);
    }

    void minimisedWindowIsNotFittedAndShowsMessagesInItsCaption()
    {
        auto w = makeWindow();
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        auto *timer = child<QTimer>(w.get(), "Timer1");
        w->showMinimized();
        QTRY_VERIFY(w->isMinimized());
        QVERIFY(!timer->isActive());

        w->addMsg(QStringLiteral("Opening :http://h/a.jpg"));
        QCOMPARE(w->windowTitle(), QStringLiteral("Opening :http://h/a.jpg"));
        QCOMPARE(child<StatusLine>(w.get(), "sbar1")->text(), QStringLiteral("Opening :http://h/a.jpg"));

        w->showNormal();
        QTRY_VERIFY(!w->isMinimized());
        QVERIFY(timer->isActive());
        QCOMPARE(w->windowTitle(), QStringLiteral("Opening :http://h/a.jpg"));
        w->addMsg(QStringLiteral("File is a image"));
        QCOMPARE(w->windowTitle(), QStringLiteral("Seriograb"));
    }

    void spinnerKeepsTheWidth_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("delta");
        QTest::addColumn<QString>("result");
        QTest::newRow("07 up") << "07" << 1 << "08";
        QTest::newRow("09 up") << "09" << 1 << "10";
        QTest::newRow("99 up") << "99" << 1 << "100";
        QTest::newRow("10 down") << "10" << -1 << "09";
        QTest::newRow("0 down stays") << "0" << -1 << "0";
        QTest::newRow("10000 up stays") << "10000" << 1 << "10000";
        QTest::newRow("empty up") << "" << 1 << "1";
        QTest::newRow("letters up") << "ab" << 1 << "1";
        QTest::newRow("negative up clamps") << "-5" << 1 << "0";
    }

    void spinnerKeepsTheWidth()
    {
        QFETCH(QString, text);
        QFETCH(int, delta);
        QFETCH(QString, result);
        auto w = makeWindow();
        auto *field = child<QLineEdit>(w.get(), "txtURL2");
        auto *spin = child<UpDown>(w.get(), "UpDown1");
        field->setText(text);
        if (delta > 0)
            spin->stepUp();
        else
            spin->stepDown();
        QCOMPARE(field->text(), result);
    }

    void optionsAndHelpDisableTheWindowUntilClosed()
    {
        auto w = makeWindow();
        w->show();
        child<QAction>(w.get(), "opt")->trigger();
        QVERIFY(!w->isEnabled());
        QWidget *options = harness::openWindow("frmOptions");
        QVERIFY(options);
        options->close();
        QTRY_VERIFY(w->isEnabled());

        child<QAction>(w.get(), "hlp")->trigger();
        QVERIFY(!w->isEnabled());
        QWidget *help = harness::openWindow("frmHelp");
        QVERIFY(help);
        help->close();
        QTRY_VERIFY(w->isEnabled());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_frmseriograb.moc"
