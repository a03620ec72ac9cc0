#include "core/settings.h"
#include "platform/programplace.h"
#include "platform/twips.h"
#include "ui/main/frmseriograb.h"
#include "ui/main/previewfit.h"
#include "ui/main/statusline.h"
#include "ui/main/updown.h"
#include "windowharness.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMimeData>
#include <QProcess>
#include <QRegularExpression>
#include <QTextBlock>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

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
        QVERIFY(opener.open(QIODevice::WriteOnly) && opener.write("#!/bin/sh\necho \"$1\" >>\"$0\"ed\n") > 0);
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
            {"opt", QStringLiteral("Options")},   {"hlp", QStringLiteral("Help")},
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
        QCOMPARE(operations, QStringList({"get", "stp", "runLog", "pasteAddress", "openFolder", "sep1", "exit"}));
    }

    // The window keeps the last lines whether or not the log is open; the log leaves the
    // main window usable and goes with it.
    void runLogKeepsTheLastLines()
    {
        auto w = makeWindow();
        w->show();
        auto openLog = [&w]() -> QPointer<QWidget> {
            w->findChild<QAction *>(QStringLiteral("runLog"))->trigger();
            return harness::openWindow("frmRunLog");
        };
        auto lines = [](QWidget *log) {
            return log->findChild<QPlainTextEdit *>()->toPlainText().split(QLatin1Char('\n'));
        };
        for (int n = 1; n <= 10005; ++n)
            w->logPass(QStringLiteral("pass %1").arg(n));
        QPointer<QWidget> log = openLog();
        QVERIFY(log);
        QVERIFY(w->isEnabled());
        QVERIFY(log->findChild<QPlainTextEdit *>()->isReadOnly());
        w->logPass(QStringLiteral("pass 10006"));
        QCOMPARE(lines(log).size(), 10000);
        QCOMPARE(lines(log).first(), QStringLiteral("pass 7"));
        QCOMPARE(lines(log).last(), QStringLiteral("pass 10006"));

        log->close();
        QTRY_VERIFY(log.isNull());
        w->logPass(QStringLiteral("pass 10007"));
        log = openLog();
        QCOMPARE(lines(log).size(), 10000);
        QCOMPARE(lines(log).first(), QStringLiteral("pass 8"));
        QCOMPARE(lines(log).last(), QStringLiteral("pass 10007"));
        w->close();
        QTRY_VERIFY(log.isNull());
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
        auto *log = harness::openWindow("frmRunLog")->findChild<QPlainTextEdit *>();
        log->setTextCursor(QTextCursor(log->document()->findBlockByNumber(0)));
        QTest::keyClick(log, Qt::Key_Return);
        QTest::mouseDClick(log->viewport(), Qt::LeftButton, {}, log->cursorRect().center());
        m_settings.localFolder = m_dir->filePath(QStringLiteral("gone"));
        child<QAction>(w.get(), "openFolder")->trigger();
        QCOMPARE(child<StatusLine>(w.get(), "sbar1")->text(), QStringLiteral("Cannot open %1: it does not exist").arg(m_settings.localFolder));
        const QString opened = m_desktop.filePath(QStringLiteral("xdg-opened"));   // in any order: each opener runs apart
        QTRY_COMPARE(contents(opened).size(), m_dir->path().size() + 2 * picture.size() + 3);
        QCOMPARE(QString::fromUtf8(contents(opened)).split('\n').count(picture), 2);
    }

    // --help, --version and a wrong command line are answered without any display.
    void commandLineWithoutADisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("printed");   // standard output, "|", standard error
        QTest::newRow("--version") << QStringList{"--version"} << 0 << QRegularExpression::escape("seriograb " SERIOGRAB_VERSION "\n|");
        QTest::newRow("--help") << QStringList{"-h"} << 0 << "Usage: \\S*seriograb \\[options\\] \\[ADDRESS\\]\n[^|]*\\|";
        QTest::newRow("unknown option") << QStringList{"--bogus", "http://h/1.jpg"} << 2 << "\\|Unknown option 'bogus'.\n\nUsage: [^|]*";
    }

    void commandLineWithoutADisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, printed);
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationDirPath() + QStringLiteral("/seriograb"), arguments);
        QVERIFY(program.waitForFinished(60000) && program.exitStatus() == QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        const QString both = QString::fromUtf8(program.readAllStandardOutput() + '|' + program.readAllStandardError());
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(printed)).match(both).hasMatch(), qPrintable(both));
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
