#include "core/settings.h"
#include "platform/programplace.h"
#include "platform/twips.h"
#include "ui/dialogs/frmoptions.h"
#include "windowharness.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <memory>

namespace {

// The blocks OK writes, in their order; a file written by hand may hold the first five only.
QByteArray blocks(const QStringList &values)
{
    static const char *const keys[] = {"LOCALFOLDER", "HEADERTEXT", "LASTFILE", "PROXYIP", "PROXYPORT", "MAXMISSES",
                                       "IFEXISTS", "RETRIES", "PAUSE", "REFERER", "COOKIES", "KEEP", "CAFILE"};
    QByteArray out;
    for (int i = 0; i < values.size(); ++i)
        out += QByteArray("[") + keys[i] + "]\r\n" + values.at(i).toUtf8() + "\r\n";
    return out;
}

} // namespace

class TestFrmOptions : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<QWidget> m_main;
    ProgramPlace m_place;
    Settings m_settings;
    QString m_startFolder;

    // Opens the dialog as the Options command does: main window disabled first.
    QPointer<frmOptions> open()
    {
        m_main->setEnabled(false);
        QPointer<frmOptions> dlg = new frmOptions(m_settings, m_place, m_main.get());
        dlg->show();
        return dlg;
    }

    static QLineEdit *field(QWidget *dlg, const char *name)
    {
        auto *w = dlg->findChild<QLineEdit *>(QLatin1String(name));
        Q_ASSERT(w);
        return w;
    }

    static QPushButton *button(QWidget *dlg, const char *name)
    {
        return dlg->findChild<QPushButton *>(QLatin1String(name));
    }

    QByteArray parFile() const { return contents(m_place.parameterFile()); }

    bool closedAndMainEnabled(QPointer<frmOptions> &dlg)
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return dlg.isNull() && m_main->isEnabled();
    }

    // The state right after a first start without a parameter file.
    void firstStart()
    {
        m_settings = Settings();
        m_settings.lastFile = 9999;
    }

private Q_SLOTS:
    void initTestCase() { m_startFolder = QDir::currentPath(); }

    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_place.folder = m_tmp->path();
        m_place.name = QStringLiteral("seriograb");
        m_main = std::make_unique<QWidget>();
        firstStart();
    }

    void cleanup()
    {
        m_main.reset();
        harness::closeAllWindows();
        QDir::setCurrent(m_startFolder);
    }

    void opensWithFirstStartValues()
    {
        QPointer<frmOptions> dlg = open();
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Options"));
        QCOMPARE(field(dlg, "txtDir")->text(), QString());
        QCOMPARE(field(dlg, "txtHead")->text(), QString());
        QCOMPARE(field(dlg, "txtLast")->text(), QStringLiteral("9999"));
        QCOMPARE(field(dlg, "txtProxyIP")->text(), QString());
        QCOMPARE(field(dlg, "txtProxyPort")->text(), QString());
        QCOMPARE(field(dlg, "txtMaxMisses")->text(), QStringLiteral("10"));
        QCOMPARE(dlg->findChild<QComboBox *>(QStringLiteral("cmbIfExists"))->currentText(), QStringLiteral("Ask"));
        QCOMPARE(field(dlg, "txtRetries")->text() + field(dlg, "txtPause")->text(), QStringLiteral("30"));
        QVERIFY(field(dlg, "txtDir")->isReadOnly());
        QCOMPARE(dlg->focusWidget(), button(dlg, "cmdOK"));
        QVERIFY(!m_main->isEnabled());
        QVERIFY(dlg->isEnabled());
        QCOMPARE(dlg->minimumSize(), dlg->maximumSize());
        QVERIFY(!(dlg->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    }

    void opensWithCurrentSettings()
    {
        m_settings.localFolder = QStringLiteral("/srv/pictures");
        m_settings.headerText = QStringLiteral("cat_");
        m_settings.lastFile = -5;
        m_settings.proxyIP = QStringLiteral("127.0.0.1");
        m_settings.proxyPort = 40000;
        m_settings.maxMisses = 0;
        m_settings.ifExists = Settings::IfExists::Number;
        QPointer<frmOptions> dlg = open();
        QCOMPARE(field(dlg, "txtDir")->text(), QStringLiteral("/srv/pictures"));
        QCOMPARE(field(dlg, "txtHead")->text(), QStringLiteral("cat_"));
        QCOMPARE(field(dlg, "txtLast")->text(), QStringLiteral("-5"));
        QCOMPARE(field(dlg, "txtProxyIP")->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(field(dlg, "txtProxyPort")->text(), QStringLiteral("40000"));
        QCOMPARE(field(dlg, "txtMaxMisses")->text(), QStringLiteral("0"));
        QCOMPARE(dlg->findChild<QComboBox *>(QStringLiteral("cmbIfExists"))->currentText(), QStringLiteral("Keep both"));
    }

    void okRightAfterFirstStartWritesTheBlocks()
    {
        QPointer<frmOptions> dlg = open();
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(parFile(), blocks({"", "", "9999", "", "", "10", "ask", "3", "0", "", "", "gifjpeg", ""}));
        QCOMPARE(m_settings.lastFile, qint16(9999));
        QCOMPARE(m_settings.proxyPort, qint16(0));
    }

    // Each row: what is typed on a second opening (the blocks exist by then, so the texts are
    // stored exactly as typed), what the settings become, and what the next opening shows.
    void okSetsAndStores_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("lastFile");
        QTest::addColumn<int>("proxyPort");
        QTest::addColumn<QString>("reopenLast");
        QTest::addColumn<QString>("reopenPort");
        QTest::addColumn<QString>("misses");
        QTest::addColumn<int>("maxMisses");
        QTest::addColumn<QString>("ifExists");   // the choice, then how it is stored
        QTest::addColumn<QString>("stored");

        QTest::newRow("port 8080") << "9999" << "8080" << 9999 << 8080 << "9999" << "8080" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("letters in the port") << "9999" << "abc" << 9999 << 0 << "9999" << "" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("digits then letters in the port") << "9999" << "81x" << 9999 << 81 << "9999" << "81" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("port with a fraction") << "9999" << "80.5" << 9999 << 80 << "9999" << "80" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("port above 32767") << "9999" << "40000" << 9999 << 40000 << "9999" << "40000" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("limit 007") << "007" << "" << 7 << 0 << "7" << "" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("limit 0 stays 0") << "0" << "" << 0 << 0 << "0" << "" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("limit with blanks") << " 12 " << "" << 12 << 0 << "12" << "" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("negative limit") << "-3" << "" << -3 << 0 << "-3" << "" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("limit 2.5 to even") << "2.5" << "" << 2 << 0 << "2" << "" << "10" << 10 << "Ask" << "ask";
        QTest::newRow("at the tops") << "32767" << "65535" << 32767 << 65535 << "32767" << "65535" << "9999" << 9999 << "Skip" << "skip";
        QTest::newRow("misses 0: never") << "9999" << "" << 9999 << 0 << "9999" << "" << "0" << 0 << "Keep both" << "number";
        QTest::newRow("misses with blanks") << "9999" << "" << 9999 << 0 << "9999" << "" << " 025 " << 25 << "Ask" << "ask";
    }

    void okSetsAndStores()
    {
        QFETCH(QString, last);
        QFETCH(QString, port);
        QFETCH(int, lastFile);
        QFETCH(int, proxyPort);
        QFETCH(QString, reopenLast);
        QFETCH(QString, reopenPort);
        QFETCH(QString, misses);
        QFETCH(int, maxMisses);
        QFETCH(QString, ifExists);
        QFETCH(QString, stored);
        // A proxy server needs a port; without one the run goes direct.
        const QString proxy = proxyPort == 0 ? QString() : QStringLiteral("proxy.example.org");

        QPointer<frmOptions> dlg = open();
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));

        dlg = open();
        field(dlg, "txtHead")->setText(QStringLiteral(" pic_ "));
        field(dlg, "txtLast")->setText(last);
        field(dlg, "txtProxyIP")->setText(proxy);
        field(dlg, "txtProxyPort")->setText(port);
        field(dlg, "txtMaxMisses")->setText(misses);
        auto *choice = dlg->findChild<QComboBox *>(QStringLiteral("cmbIfExists"));
        choice->setCurrentText(ifExists);
        // The download settings, the same in every row: as typed, or trimmed for the Referer.
        field(dlg, "txtRetries")->setText(QStringLiteral(" 10 "));
        field(dlg, "txtPause")->setText(QStringLiteral("60000"));
        dlg->findChild<QComboBox *>(QStringLiteral("cmbKeep"))->setCurrentIndex(1);
        dlg->findChild<QComboBox *>(QStringLiteral("cmbReferer"))->setCurrentIndex(2);
        field(dlg, "txtReferer")->setText(QStringLiteral(" https://h.org/g/ "));
        field(dlg, "txtCaFile")->setText(QStringLiteral("~/ca.pem"));
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));

        QCOMPARE(int(m_settings.lastFile), lastFile);
        QCOMPARE(int(m_settings.proxyPort), proxyPort);
        QCOMPARE(m_settings.maxMisses, maxMisses);
        QCOMPARE(Settings::ifExistsText(m_settings.ifExists), stored);
        QCOMPARE(m_settings.headerText, QStringLiteral(" pic_ "));
        QCOMPARE(m_settings.proxyIP, proxy);
        QVERIFY(m_settings.retries == 10 && m_settings.pauseMs == 60000 && m_settings.keep == Settings::Keep::All);
        QCOMPARE(m_settings.referer + m_settings.caFile, QStringLiteral("https://h.org/g/~/ca.pem"));
        QCOMPARE(parFile(), blocks({"", " pic_ ", last, proxy, port, misses, stored, " 10 ", "60000", "https://h.org/g/", "",
                                    "all", "~/ca.pem"}));

        dlg = open();
        QCOMPARE(field(dlg, "txtLast")->text(), reopenLast);
        QCOMPARE(field(dlg, "txtProxyPort")->text(), reopenPort);
        QCOMPARE(field(dlg, "txtMaxMisses")->text(), QString::number(maxMisses));
        QCOMPARE(dlg->findChild<QComboBox *>(QStringLiteral("cmbIfExists"))->currentText(), ifExists);
        QCOMPARE(field(dlg, "txtHead")->text(), QStringLiteral(" pic_ "));
        QCOMPARE(field(dlg, "txtRetries")->text() + field(dlg, "txtReferer")->text(), QStringLiteral("10https://h.org/g/"));
    }

    void badNumberKeepsDialogOpen_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("misses");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("named");   // what the message names
        QTest::addColumn<QString>("other");   // one more field and its text, "NAME=TEXT"

        QTest::newRow("empty limit") << "" << "10" << "8080" << "Max Number of Files" << "";
        QTest::newRow("letters in the limit") << "many" << "10" << "8080" << "Max Number of Files" << "";
        QTest::newRow("digits then letters in the limit") << "12x" << "10" << "8080" << "Max Number of Files" << "";
        QTest::newRow("limit above range") << "32768" << "10" << "8080" << "Max Number of Files" << "";
        QTest::newRow("limit below range") << "-32769" << "10" << "8080" << "Max Number of Files" << "";
        QTest::newRow("empty misses") << "10" << "" << "8080" << "Stop after misses in a row" << "";
        QTest::newRow("misses above range") << "10" << "10000" << "8080" << "0 to 9999" << "";
        QTest::newRow("negative misses") << "10" << "-1" << "8080" << "0 to 9999" << "";
        QTest::newRow("digits then letters in misses") << "10" << "5x" << "8080" << "Stop after misses in a row" << "";
        QTest::newRow("port above range") << "10" << "10" << "65536" << "1 to 65535" << "";
        QTest::newRow("port below range") << "10" << "10" << "-1" << "1 to 65535" << "";
        QTest::newRow("proxy without a port") << "10" << "10" << "" << "1 to 65535" << "";
        QTest::newRow("proxy with letters for a port") << "10" << "10" << "web" << "Proxy Port" << "";
        QTest::newRow("slash in the header") << "10" << "10" << "8080" << "\"/\"" << "txtHead=pics/cat_";
        QTest::newRow("retries above range") << "10" << "10" << "8080" << "Retries" << "txtRetries=11";
        QTest::newRow("negative pause") << "10" << "10" << "8080" << "0 to 60000" << "txtPause=-5";
        QTest::newRow("Referer of another scheme") << "10" << "10" << "8080" << "Send Referer" << "txtReferer=ftp://h.org/";
    }

    void badNumberKeepsDialogOpen()
    {
        QFETCH(QString, last);
        QFETCH(QString, misses);
        QFETCH(QString, port);
        QFETCH(QString, named);
        QFETCH(QString, other);

        const QByteArray before = blocks({"/old", "old_", "50", "", ""});
        setContents(m_place.parameterFile(), before);
        m_settings.localFolder = QStringLiteral("/old");
        m_settings.headerText = QStringLiteral("old_");
        m_settings.lastFile = 50;
        const Settings settingsBefore = m_settings;

        QPointer<frmOptions> dlg = open();
        field(dlg, "txtHead")->setText(QStringLiteral("new_"));
        field(dlg, "txtProxyIP")->setText(QStringLiteral("10.0.0.1"));
        field(dlg, "txtLast")->setText(last);
        field(dlg, "txtMaxMisses")->setText(misses);
        field(dlg, "txtProxyPort")->setText(port);
        dlg->findChild<QComboBox *>(QStringLiteral("cmbReferer"))->setCurrentIndex(2);   // with a good address
        field(dlg, "txtReferer")->setText(QStringLiteral("http://h.org/"));
        if (!other.isEmpty())
            field(dlg, qPrintable(other.section(QLatin1Char('='), 0, 0)))->setText(other.section(QLatin1Char('='), 1));

        harness::MessageBoxCloser closer;
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(closer.count, 1);
        QVERIFY2(closer.text.contains(named), qPrintable(closer.text));

        QVERIFY(!dlg.isNull());
        QVERIFY(dlg->isVisible());
        QVERIFY(!m_main->isEnabled());
        QCOMPARE(parFile(), before);
        QCOMPARE(m_settings.headerText, settingsBefore.headerText);
        QCOMPARE(m_settings.localFolder, settingsBefore.localFolder);
        QCOMPARE(m_settings.lastFile, settingsBefore.lastFile);
        QCOMPARE(m_settings.proxyIP, settingsBefore.proxyIP);
        QCOMPARE(m_settings.proxyPort, settingsBefore.proxyPort);
        QCOMPARE(m_settings.maxMisses, settingsBefore.maxMisses);
        // The typed text is still there to be corrected.
        QCOMPARE(field(dlg, "txtProxyIP")->text(), QStringLiteral("10.0.0.1"));
    }

    void closingWithoutOkChangesNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Cancel") << "cancel";
        QTest::newRow("Esc") << "escape";
        QTest::newRow("close button") << "close";
    }

    void closingWithoutOkChangesNothing()
    {
        QFETCH(QString, how);
        const QByteArray before = blocks({"/old", "old_", "50", "", "8080"});
        setContents(m_place.parameterFile(), before);
        m_settings.proxyPort = 8080;

        QPointer<frmOptions> dlg = open();
        field(dlg, "txtHead")->setText(QStringLiteral("new_"));
        field(dlg, "txtLast")->setText(QStringLiteral("3"));
        field(dlg, "txtProxyPort")->setText(QStringLiteral("1"));
        if (how == QLatin1String("cancel"))
            QTest::mouseClick(button(dlg, "cmdCancel"), Qt::LeftButton);
        else if (how == QLatin1String("escape"))
            QTest::keyClick(field(dlg, "txtHead"), Qt::Key_Escape);
        else
            QVERIFY(dlg->close());   // what the title bar's close button does

        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(parFile(), before);
        QCOMPARE(m_settings.headerText, QString());
        QCOMPARE(m_settings.lastFile, qint16(9999));
        QCOMPARE(m_settings.proxyPort, qint16(8080));

        // Nothing typed survives: the next opening starts from the settings again.
        dlg = open();
        QCOMPARE(field(dlg, "txtHead")->text(), QString());
        QCOMPARE(field(dlg, "txtProxyPort")->text(), QStringLiteral("8080"));
    }

    void unwritableFileKeepsSettingsForThisRun()
    {
        // A "program folder" that is a regular file: every write fails, even for root.
        const QString blocker = m_tmp->filePath(QStringLiteral("blocker"));
        setContents(blocker, QByteArray());
        m_place.folder = blocker;

        QPointer<frmOptions> dlg = open();
        field(dlg, "txtHead")->setText(QStringLiteral("new_"));
        field(dlg, "txtLast")->setText(QStringLiteral("25"));
        harness::MessageBoxCloser closer;
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QCOMPARE(closer.count, 1);
        QVERIFY2(closer.text.contains(QLatin1String("could not be stored")), qPrintable(closer.text));

        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(m_settings.headerText, QStringLiteral("new_"));
        QCOMPARE(m_settings.lastFile, qint16(25));
    }

    void openingAFolderPutsItsPathIntoTxtDir()
    {
        QVERIFY(QDir(m_tmp->path()).mkpath(QStringLiteral("work/pictures")));
        const QString work = QDir(m_tmp->path()).canonicalPath() + QStringLiteral("/work");
        QVERIFY(QDir::setCurrent(work));
        m_settings.localFolder = QStringLiteral("/somewhere/else");

        QPointer<frmOptions> dlg = open();
        // The folder list opens on the current folder, not on localFolder.
        QCOMPARE(field(dlg, "txtDir")->text(), QStringLiteral("/somewhere/else"));
        auto *dir = dlg->findChild<QAbstractItemView *>(QStringLiteral("dir"));
        QVERIFY(dir);
        auto *model = qobject_cast<QFileSystemModel *>(dir->model());
        QVERIFY(model);
        QCOMPARE(model->filePath(dir->currentIndex()), work);

        const QModelIndex pictures = model->index(work + QStringLiteral("/pictures"));
        QVERIFY(pictures.isValid());
        dir->setCurrentIndex(pictures);
        QTest::keyClick(dir, Qt::Key_Return);
        QCOMPARE(field(dlg, "txtDir")->text(), work + QStringLiteral("/pictures"));

        // A double-click on a folder opens it as well.
        const QModelIndex up = model->index(work);
        dir->scrollTo(up);
        const QRect r = dir->visualRect(up);
        QVERIFY(r.isValid());
        // A real double-click: press and release, then the second press arrives as a double-click.
        QTest::mouseClick(dir->viewport(), Qt::LeftButton, {}, r.center());
        QTest::mouseDClick(dir->viewport(), Qt::LeftButton, {}, r.center());
        QCOMPARE(field(dlg, "txtDir")->text(), work);

        QTest::mouseClick(button(dlg, "cmdCancel"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(m_settings.localFolder, QStringLiteral("/somewhere/else"));
        QCOMPARE(parFile(), QByteArray("<missing>"));
    }

    void choosingADriveMovesTheFolderList()
    {
        QPointer<frmOptions> dlg = open();
        auto *drv = dlg->findChild<QComboBox *>(QStringLiteral("drv"));
        QVERIFY(drv);
        QVERIFY(drv->count() >= 1);
        QCOMPARE(drv->itemText(0), QStringLiteral("/"));
        if (drv->count() < 2)
            QSKIP("only one mounted file system here");

        const int other = drv->currentIndex() == 0 ? 1 : 0;
        const QString root = drv->itemText(other);
        drv->setCurrentIndex(other);
        QCOMPARE(field(dlg, "txtDir")->text(), root);
        auto *dir = dlg->findChild<QAbstractItemView *>(QStringLiteral("dir"));
        auto *model = qobject_cast<QFileSystemModel *>(dir->model());
        QCOMPARE(model->filePath(dir->rootIndex()), root);

        QTest::keyClick(dlg, Qt::Key_Escape);
        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(m_settings.localFolder, QString());
    }

    // Once the user has moved the folder list's highlight, a change on disk in the folder it
    // shows no longer takes the highlight and the view back to the start folder.
    void folderListKeepsTheUsersPlace()
    {
        const QString work = QDir(m_tmp->path()).canonicalPath();
        for (int n = 10; n < 50; ++n)
            QVERIFY(QDir().mkpath(work + QStringLiteral("/sub%1").arg(n)));
        QVERIFY(QDir::setCurrent(work));
        QPointer<frmOptions> dlg = open();
        auto *dir = dlg->findChild<QAbstractItemView *>(QStringLiteral("dir"));
        auto *model = qobject_cast<QFileSystemModel *>(dir->model());
        QTRY_COMPARE(model->rowCount(model->index(work)), 40);
        QTest::qWait(50);   // the rows' sorting, and the reveal of the start folder after it
        QTest::keyClick(dir, Qt::Key_PageDown);
        const QString chosen = model->filePath(dir->currentIndex());
        const QString top = model->filePath(dir->indexAt(QPoint(2, 2)));
        QVERIFY(QDir().mkpath(work + QStringLiteral("/new")));
        QTRY_COMPARE(model->rowCount(model->index(work)), 41);
        QTest::qWait(50);
        QCOMPARE(model->filePath(dir->currentIndex()), chosen);
        QCOMPARE(model->filePath(dir->indexAt(QPoint(2, 2))), top);
    }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("twipsRect");
        QTest::addColumn<QString>("caption");

        auto row = [](const char *name, const char *container, int l, int t, int w, int h,
                      const char *caption = "") {
            QTest::newRow(name) << name << container << QRect(l, t, w, h) << caption;
        };
        row("Label5", "frmOptions", 240, 160, 735, 255, "Save To");
        row("txtDir", "frmOptions", 1080, 120, 6015, 375);
        row("drv", "frmOptions", 240, 600, 2775, 315);
        row("dir", "frmOptions", 240, 1080, 2775, 1665);
        row("Frame1", "frmOptions", 3240, 480, 3855, 2175);
        row("Label1", "Frame1", 120, 240, 1095, 375, "Header Text");
        row("txtHead", "Frame1", 1320, 240, 2175, 375);
        row("Label2", "Frame1", 120, 720, 2415, 255, "Max Number  of Files");
        row("txtLast", "Frame1", 1800, 720, 1695, 375);
        row("frame2", "frmOptions", 3240, 2640, 3855, 975);
        row("Label3", "frame2", 120, 240, 1455, 255, "Proxy Server");
        row("txtProxyIP", "frame2", 120, 480, 2295, 375);
        row("Label4", "frame2", 2880, 240, 855, 255, "Proxy Port");
        row("txtProxyPort", "frame2", 2880, 480, 615, 375);
        row("cmdOK", "frmOptions", 240, 3000, 1215, 375, "OK");
        row("cmdCancel", "frmOptions", 1800, 3000, 1215, 375, "Cancel");
        // The download settings beside Frame1 and frame2, as tall as both; Browse… in the first row.
        row("cmdBrowse", "frmOptions", 7320, 120, 1215, 375, "Browse…");
        row("fraDownloads", "frmOptions", 7320, 480, 5700, 3135, "Downloads");
        row("cmdCaFile", "fraDownloads", 4365, 2640, 1215, 345, "Browse…");
    }

    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QString, container);
        QFETCH(QRect, twipsRect);
        QFETCH(QString, caption);

        QPointer<frmOptions> dlg = open();
        QCOMPARE(dlg->size(), QSize(twips::toPixels(13200), twips::toPixels(3825)));
        auto *w = dlg->findChild<QWidget *>(name);
        QVERIFY(w);
        QCOMPARE(w->parentWidget()->objectName(), container);
        QCOMPARE(w->geometry(), QRect(twips::toPixels(twipsRect.x()), twips::toPixels(twipsRect.y()),
                                      twips::toPixels(twipsRect.width()),
                                      twips::toPixels(twipsRect.height())));
        QVERIFY(w->isVisible());
        if (auto *l = qobject_cast<QLabel *>(w))
            QCOMPARE(l->text(), caption);
        if (auto *b = qobject_cast<QPushButton *>(w))
            QCOMPARE(b->text(), caption);
        if (auto *g = qobject_cast<QGroupBox *>(w))
            QCOMPARE(g->title(), caption);
    }

    void tabOrder()
    {
        QPointer<frmOptions> dlg = open();
        const QStringList expected = {"cmdOK", "cmdCancel", "txtDir", "cmdBrowse", "drv", "dir", "txtHead", "txtLast", "txtMaxMisses",
                                      "cmbIfExists", "txtProxyIP", "txtProxyPort", "txtRetries", "txtPause", "cmbKeep",
                                      "cmbReferer", "txtCookies", "cmdCookies", "txtCaFile", "cmdCaFile"};
        QStringList order;
        QWidget *w = button(dlg, "cmdOK");
        do {
            if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(dlg) && w->isEnabled()
                && w->window() == dlg)
                order << w->objectName();
            w = w->nextInFocusChain();
        } while (w != button(dlg, "cmdOK"));
        // Inner parts of a control (a view's viewport, say) carry no name of their own.
        order.removeAll(QString());
        QCOMPARE(order, expected);

        // The new rows follow "Max Number  of Files" in its frame, each caption before its field.
        int above = 0;
        for (const auto &[name, caption] : {std::pair{"Label2", "Max Number  of Files"},
                                            {"Label6", "Stop after misses in a row"},
                                            {"Label7", "If the file exists"}}) {
            auto *l = dlg->findChild<QLabel *>(QLatin1String(name));
            QVERIFY(l && l->isVisible() && l->parentWidget()->objectName() == QLatin1String("Frame1"));
            QCOMPARE(l->text(), QLatin1String(caption));
            QVERIFY(l->y() > above);
            above = l->y();
        }
        auto *choice = dlg->findChild<QComboBox *>(QStringLiteral("cmbIfExists"));
        QCOMPARE(QStringList({choice->itemText(0), choice->itemText(1), choice->itemText(2)}),
                 QStringList({"Ask", "Skip", "Keep both"}));
    }

    void centredOnTheScreen()
    {
        QPointer<frmOptions> dlg = open();
        const QRect screen = dlg->screen()->geometry();
        const QSize outer = dlg->frameGeometry().size();
        // Centred in twips with fractions kept; a half pixel goes to the even neighbour.
        const int left = int(std::nearbyint((screen.width() - outer.width()) / 2.0));
        const int top = int(std::nearbyint((screen.height() - outer.height()) / 2.0));
        QCOMPARE(dlg->frameGeometry().topLeft(), screen.topLeft() + QPoint(left, top));
    }
};

QTEST_MAIN(TestFrmOptions)
#include "tst_frmoptions.moc"
