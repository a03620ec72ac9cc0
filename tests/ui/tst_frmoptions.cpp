#include "core/settings.h"
#include "platform/programplace.h"
#include "platform/twips.h"
#include "ui/dialogs/frmmore.h"
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
#include <QWheelEvent>
#include <QTimer>

#include <cmath>
#include <memory>

namespace {

// The blocks OK writes, in their order: Options' five, then those of More Options.
QByteArray blocks(const QStringList &values)
{
    static const char *const keys[] = {"LOCALFOLDER", "HEADERTEXT", "LASTFILE", "PROXYIP", "PROXYPORT", "MAXMISSES",
                                       "IFEXISTS", "RETRIES", "PAUSE", "KEEP", "REPEATS", "REFERER", "COOKIES", "CAFILE",
                                       "USERAGENT", "PROXYTYPE", "PROXYUSER"};
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

    // Opens More Options with the Options dialog's More… button.
    static QPointer<frmMore> openMore(QWidget *dlg)
    {
        QTest::mouseClick(button(dlg, "cmdMore"), Qt::LeftButton);
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *more = qobject_cast<frmMore *>(w); more && more->isVisible())
                return more;
        return nullptr;
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
        QPointer<frmOptions> dlg = open();
        QCOMPARE(field(dlg, "txtDir")->text(), QStringLiteral("/srv/pictures"));
        QCOMPARE(field(dlg, "txtHead")->text(), QStringLiteral("cat_"));
        QCOMPARE(field(dlg, "txtLast")->text(), QStringLiteral("-5"));
        QCOMPARE(field(dlg, "txtProxyIP")->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(field(dlg, "txtProxyPort")->text(), QStringLiteral("40000"));
    }

    void okRightAfterFirstStartWritesTheBlocks()
    {
        QPointer<frmOptions> dlg = open();
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(parFile(), blocks({"", "", "9999", "", ""}));
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

        QTest::newRow("port 8080") << "9999" << "8080" << 9999 << 8080 << "9999" << "8080";
        QTest::newRow("letters in the port") << "9999" << "abc" << 9999 << 0 << "9999" << "";
        QTest::newRow("digits then letters in the port") << "9999" << "81x" << 9999 << 81 << "9999" << "81";
        QTest::newRow("port with a fraction") << "9999" << "80.5" << 9999 << 80 << "9999" << "80";
        QTest::newRow("port above 32767") << "9999" << "40000" << 9999 << 40000 << "9999" << "40000";
        QTest::newRow("limit 007") << "007" << "" << 7 << 0 << "7" << "";
        QTest::newRow("limit 0 stays 0") << "0" << "" << 0 << 0 << "0" << "";
        QTest::newRow("limit with blanks") << " 12 " << "" << 12 << 0 << "12" << "";
        QTest::newRow("limit 2.5 to even") << "2.5" << "" << 2 << 0 << "2" << "";
        QTest::newRow("at the tops") << "32767" << "65535" << 32767 << 65535 << "32767" << "65535";
    }

    void okSetsAndStores()
    {
        QFETCH(QString, last);
        QFETCH(QString, port);
        QFETCH(int, lastFile);
        QFETCH(int, proxyPort);
        QFETCH(QString, reopenLast);
        QFETCH(QString, reopenPort);
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
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));

        QCOMPARE(int(m_settings.lastFile), lastFile);
        QCOMPARE(int(m_settings.proxyPort), proxyPort);
        QCOMPARE(m_settings.headerText, QStringLiteral(" pic_ "));
        QCOMPARE(m_settings.proxyIP, proxy);
        QCOMPARE(parFile(), blocks({"", " pic_ ", last, proxy, port}));

        dlg = open();
        QCOMPARE(field(dlg, "txtLast")->text(), reopenLast);
        QCOMPARE(field(dlg, "txtProxyPort")->text(), reopenPort);
        QCOMPARE(field(dlg, "txtHead")->text(), QStringLiteral(" pic_ "));
    }

    // Proxy Server typed whole is split at OK into "server|port|kind|user"; the server is stored alone.
    void proxyTextForms_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("port");   // the Proxy Port field
        QTest::addColumn<QString>("split");
        QTest::newRow("a name") << "proxy.example.org" << "3128" << "proxy.example.org|3128|http|";
        QTest::newRow("host:port") << "127.0.0.1:3129" << "" << "127.0.0.1|3129|http|";
        QTest::newRow("the port typed wins") << "127.0.0.1:3129" << "8080" << "127.0.0.1|3129|http|";
        QTest::newRow("http://host") << "http://127.0.0.1" << "8080" << "127.0.0.1|8080|http|";
        QTest::newRow("socks5://host:port") << "socks5://127.0.0.1:1080" << "" << "127.0.0.1|1080|socks5|";
        QTest::newRow("socks5h://host") << "socks5h://tor.example" << "9050" << "tor.example|9050|socks5|";
        QTest::newRow("user@host") << "alice@proxy.example.org" << "3128" << "proxy.example.org|3128|http|alice";
        QTest::newRow("IPv6 address") << "::1" << "3128" << "::1|3128|http|";
        QTest::newRow("bracketed IPv6 and port") << "http://[::1]:3128" << "" << "::1|3128|http|";
    }

    void proxyTextForms()
    {
        QFETCH(QString, typed);
        QFETCH(QString, port);
        QFETCH(QString, split);
        QPointer<frmOptions> dlg = open();
        field(dlg, "txtProxyIP")->setText(typed);
        field(dlg, "txtProxyPort")->setText(port);
        QTest::mouseClick(button(dlg, "cmdOK"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(QStringList({m_settings.proxyIP, QString::number(m_settings.proxyPort),
                              Settings::proxyTypeText(m_settings.proxyType), m_settings.proxyUser}).join(QLatin1Char('|')),
                 split);
        QVERIFY2(parFile().contains("[PROXYIP]\r\n" + split.section(QLatin1Char('|'), 0, 0).toUtf8() + "\r\n"),
                 parFile().constData());
    }

    // More Options from Options: its OK hands its settings back, Options' OK stores both in one
    // rewrite and Options' Cancel drops both. From the menu, its own OK stores them.
    void moreStoresWithOptions_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("stored");
        QTest::newRow("OK in both") << "ok" << true;
        QTest::newRow("OK in More, Cancel in Options") << "cancel" << false;
        QTest::newRow("Cancel in More, OK in Options") << "moreCancel" << false;
    }

    void moreStoresWithOptions()
    {
        QFETCH(QString, how);
        QFETCH(bool, stored);
        const QString ca = m_tmp->filePath(QStringLiteral("ca.pem"));
        setContents(ca, "-----BEGIN CERTIFICATE-----\n");
        QPointer<frmOptions> dlg = open();
        field(dlg, "txtHead")->setText(QStringLiteral("new_"));
        QPointer<frmMore> more = openMore(dlg);
        QVERIFY(more);
        QVERIFY(!dlg->isEnabled());
        QCOMPARE(field(more, "txtMaxMisses")->text() + field(more, "txtRetries")->text() + field(more, "txtPause")->text(),
                 QStringLiteral("1030"));
        QCOMPARE(more->findChild<QComboBox *>(QStringLiteral("cmbIfExists"))->currentText(), QStringLiteral("Ask"));
        field(more, "txtMaxMisses")->setText(QStringLiteral(" 025 "));
        more->findChild<QComboBox *>(QStringLiteral("cmbIfExists"))->setCurrentText(QStringLiteral("Keep both"));
        field(more, "txtRetries")->setText(QStringLiteral(" 10 "));
        field(more, "txtPause")->setText(QStringLiteral("60000"));
        more->findChild<QComboBox *>(QStringLiteral("cmbKeep"))->setCurrentIndex(1);
        more->findChild<QComboBox *>(QStringLiteral("cmbReferer"))->setCurrentIndex(2);
        field(more, "txtReferer")->setText(QStringLiteral(" https://h.org/g/ "));
        field(more, "txtCaFile")->setText(ca);
        QTest::mouseClick(button(more, how == QLatin1String("moreCancel") ? "cmdCancel" : "cmdOK"), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(more.isNull());
        QVERIFY(dlg->isEnabled());
        QCOMPARE(parFile(), QByteArray("<missing>"));   // nothing stored before Options' OK
        QCOMPARE(m_settings.retries, Settings::defaultRetries);
        // Opened again before Options' OK, More shows what its OK took.
        more = openMore(dlg);
        QCOMPARE(field(more, "txtRetries")->text(), QString::number(how == QLatin1String("moreCancel") ? 3 : 10));
        QTest::mouseClick(button(more, "cmdCancel"), Qt::LeftButton);
        QTest::mouseClick(button(dlg, how == QLatin1String("cancel") ? "cmdCancel" : "cmdOK"), Qt::LeftButton);
        QVERIFY(closedAndMainEnabled(dlg));
        QCOMPARE(m_settings.maxMisses, stored ? 25 : Settings::defaultMaxMisses);
        QCOMPARE(m_settings.retries + m_settings.pauseMs, stored ? 60010 : 3);
        QCOMPARE(m_settings.referer + m_settings.caFile, stored ? QStringLiteral("https://h.org/g/") + ca : QString());
        QCOMPARE(m_settings.keep == Settings::Keep::All && m_settings.ifExists == Settings::IfExists::Number, stored);
        const QByteArray more5 = blocks({"", "", "", "", "", "025", "number", "10", "60000", "all", "skip",
                                         "https://h.org/g/", "", ca, "", "http", ""}).mid(blocks({"", "", "", "", ""}).size());
        if (how == QLatin1String("ok"))
            QCOMPARE(parFile(), blocks({"", "new_", "9999", "", ""}) + more5);
        else if (how == QLatin1String("cancel"))
            QCOMPARE(parFile(), QByteArray("<missing>"));
        else
            QCOMPARE(parFile(), blocks({"", "new_", "9999", "", ""}));
    }

    // Options' fields, then More Options' (opened with More… for the field named in "other").
    void badNumberKeepsDialogOpen_data()
    {
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("named");   // what the message names
        QTest::addColumn<QString>("other");   // one more field and its text, "NAME=TEXT"

        QTest::newRow("empty limit") << "" << "8080" << "Max Number of Files" << "";
        QTest::newRow("letters in the limit") << "many" << "8080" << "Max Number of Files" << "";
        QTest::newRow("digits then letters in the limit") << "12x" << "8080" << "Max Number of Files" << "";
        QTest::newRow("limit above range") << "32768" << "8080" << "0 to 32767" << "";
        QTest::newRow("negative limit") << "-5" << "8080" << "0 to 32767" << "";
        QTest::newRow("port above range") << "10" << "65536" << "1 to 65535" << "";
        QTest::newRow("port below range") << "10" << "-1" << "1 to 65535" << "";
        QTest::newRow("proxy without a port") << "10" << "" << "1 to 65535" << "";
        QTest::newRow("proxy with letters for a port") << "10" << "web" << "Proxy Port" << "";
        QTest::newRow("slash in the header") << "10" << "8080" << "\"/\"" << "txtHead=pics/cat_";
        QTest::newRow("empty misses") << "10" << "8080" << "Stop after misses in a row" << "txtMaxMisses=";
        QTest::newRow("misses above range") << "10" << "8080" << "0 to 9999" << "txtMaxMisses=10000";
        QTest::newRow("digits then letters in misses") << "10" << "8080" << "Stop after misses" << "txtMaxMisses=5x";
        QTest::newRow("retries above range") << "10" << "8080" << "Retries" << "txtRetries=11";
        QTest::newRow("negative pause") << "10" << "8080" << "0 to 60000" << "txtPause=-5";
        QTest::newRow("Referer of another scheme") << "10" << "8080" << "Send Referer" << "txtReferer=ftp://h.org/";
        QTest::newRow("missing cookies file") << "10" << "8080" << "Cookies file" << "txtCookies=/nonexistent/cookies.txt";
        QTest::newRow("CA file that is a folder") << "10" << "8080" << "cannot be read" << "txtCaFile=/";
        QTest::newRow("proxy of another scheme") << "10" << "8080" << "Proxy Server" << "txtProxyIP=ftp://h.org";
        QTest::newRow("proxy with a path") << "10" << "8080" << "Proxy Server" << "txtProxyIP=http://h.org/proxy";
        QTest::newRow("proxy with a word for its port") << "10" << "8080" << "Proxy Server" << "txtProxyIP=h.org:web";
        QTest::newRow("proxy with a blank inside") << "10" << "8080" << "Proxy Server" << "txtProxyIP=h org:80";
        QTest::newRow("Identify as an empty text") << "10" << "8080" << "Identify as" << "txtUserAgent=";
    }

    void badNumberKeepsDialogOpen()
    {
        QFETCH(QString, last);
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
        field(dlg, "txtProxyPort")->setText(port);
        QWidget *refusing = dlg;
        if (!other.isEmpty()) {
            const QString name = other.section(QLatin1Char('='), 0, 0);
            if (!dlg->findChild<QLineEdit *>(name)) {
                refusing = openMore(dlg);
                // The Referer and Identify as rows choose a text of their own, so their fields take it.
                refusing->findChild<QComboBox *>(QStringLiteral("cmbReferer"))->setCurrentIndex(2);
                refusing->findChild<QComboBox *>(QStringLiteral("cmbUserAgent"))->setCurrentIndex(2);
                field(refusing, "txtUserAgent")->setText(QStringLiteral("Agent/1.0"));
                field(refusing, "txtReferer")->setText(QStringLiteral("http://h.org/"));
            }
            field(refusing, qPrintable(name))->setText(other.section(QLatin1Char('='), 1));
        }

        harness::MessageBoxCloser closer;
        QTest::mouseClick(button(refusing, "cmdOK"), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(closer.count, 1);
        QVERIFY2(closer.text.contains(named), qPrintable(closer.text));

        QVERIFY(refusing->isVisible());
        QVERIFY(!m_main->isEnabled());
        // The focus is in the refused field, ready to be corrected.
        if (!other.isEmpty())
            QCOMPARE(refusing->focusWidget()->objectName(), other.section(QLatin1Char('='), 0, 0));
        else
            QCOMPARE(refusing->focusWidget()->objectName(),
                     QLatin1String(named.contains(QLatin1String("Port")) || named.contains(QLatin1String("65535"))
                                       ? "txtProxyPort" : "txtLast"));
        QCOMPARE(parFile(), before);
        QCOMPARE(m_settings.headerText, settingsBefore.headerText);
        QCOMPARE(m_settings.localFolder, settingsBefore.localFolder);
        QCOMPARE(m_settings.lastFile, settingsBefore.lastFile);
        QCOMPARE(m_settings.proxyIP, settingsBefore.proxyIP);
        QCOMPARE(m_settings.proxyPort, settingsBefore.proxyPort);
        QCOMPARE(m_settings.maxMisses, settingsBefore.maxMisses);
        // The typed text is still there to be corrected.
        QCOMPARE(field(dlg, "txtProxyIP")->text(), other.startsWith(QLatin1String("txtProxyIP="))
                                                       ? other.section(QLatin1Char('='), 1)
                                                       : QStringLiteral("10.0.0.1"));
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
        const QString root = QDir(m_tmp->path()).canonicalPath();
        const QString work = root + QStringLiteral("/list");
        for (int n = 10; n < 50; ++n)
            QVERIFY(QDir().mkpath(work + QStringLiteral("/sub%1").arg(n)));
        QVERIFY(QDir::setCurrent(work));
        QPointer<frmOptions> dlg = open();
        auto *dir = dlg->findChild<QAbstractItemView *>(QStringLiteral("dir"));
        auto *model = qobject_cast<QFileSystemModel *>(dir->model());
        // The model sorts and the view lays out a moment after rows arrive: wait until the list
        // holds still (a loaded machine takes longer) before reading or changing it.
        auto holdsStill = [&] {
            QString seen;
            for (int i = 0; i < 50; ++i) {
                QTest::qWait(100);
                const QString now = model->filePath(dir->indexAt(QPoint(2, 2))) + model->filePath(dir->currentIndex());
                if (now == seen)
                    return;
                seen = now;
            }
        };
        QTRY_COMPARE(model->rowCount(model->index(work)), 40);
        holdsStill();   // the rows' sorting, and the reveal of the start folder after it
        QTest::keyClick(dir, Qt::Key_PageDown);
        QTest::keyClick(dir, Qt::Key_Up);   // the highlight in the middle of the list, not at its edge
        holdsStill();
        const QString chosen = model->filePath(dir->currentIndex());
        const QString top = model->filePath(dir->indexAt(QPoint(2, 2)));
        // A folder coming elsewhere on the disk, then one above the top row, leave the list be.
        QVERIFY(QDir().mkpath(root + QStringLiteral("/other")));
        QTRY_COMPARE(model->rowCount(model->index(root)), 2);
        holdsStill();
        QCOMPARE(model->filePath(dir->indexAt(QPoint(2, 2))), top);
        QVERIFY(QDir().mkpath(work + QStringLiteral("/new")));
        QTRY_COMPARE(model->rowCount(model->index(work)), 41);
        holdsStill();
        QCOMPARE(model->filePath(dir->currentIndex()), chosen);
        QCOMPARE(model->filePath(dir->indexAt(QPoint(2, 2))), top);
        // Scrolled with the wheel, the list keeps the top the wheel left.
        QWheelEvent wheel(QPointF(5, 5), dir->viewport()->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(dir->viewport(), &wheel);
        holdsStill();
        const QString wheeled = model->filePath(dir->indexAt(QPoint(2, 2)));
        QVERIFY(wheeled != top);
        QVERIFY(QDir().mkpath(work + QStringLiteral("/new2")));
        QTRY_COMPARE(model->rowCount(model->index(work)), 42);
        holdsStill();
        QCOMPARE(model->filePath(dir->indexAt(QPoint(2, 2))), wheeled);
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
        row("Frame1", "frmOptions", 3240, 480, 3855, 1215);
        row("Label1", "Frame1", 120, 240, 1095, 375, "Header Text");
        row("txtHead", "Frame1", 1320, 240, 2175, 375);
        row("Label2", "Frame1", 120, 720, 2415, 255, "Max Number  of Files");
        row("txtLast", "Frame1", 1800, 720, 1695, 375);
        row("frame2", "frmOptions", 3240, 1680, 3855, 975);
        row("Label3", "frame2", 120, 240, 1455, 255, "Proxy Server");
        row("txtProxyIP", "frame2", 120, 480, 2295, 375);
        row("Label4", "frame2", 2880, 240, 855, 255, "Proxy Port");
        row("txtProxyPort", "frame2", 2880, 480, 615, 375);
        row("cmdOK", "frmOptions", 240, 3000, 1215, 375, "OK");
        row("cmdCancel", "frmOptions", 1800, 3000, 1215, 375, "Cancel");
        // The two added buttons end the row of OK and Cancel at the frames' right edge.
        row("cmdBrowse", "frmOptions", 4545, 3000, 1215, 375, "Browse…");
        row("cmdMore", "frmOptions", 5880, 3000, 1215, 375, "More…");
    }

    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QString, container);
        QFETCH(QRect, twipsRect);
        QFETCH(QString, caption);

        QPointer<frmOptions> dlg = open();
        QCOMPARE(dlg->size(), QSize(twips::toPixels(7275), twips::toPixels(3585)));
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
        const QStringList expected = {"cmdOK", "cmdCancel", "txtDir", "drv", "dir", "txtHead", "txtLast",
                                      "txtProxyIP", "txtProxyPort", "cmdBrowse", "cmdMore"};
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


        // More Options: the captions in order down its sections, and the choices on existing files.
        QPointer<frmMore> more = openMore(dlg);
        QVERIFY(more);
        QStringList captions;
        for (QLabel *l : more->findChildren<QLabel *>())
            if (l->objectName().startsWith(QLatin1String("Label")))
                captions << l->parentWidget()->objectName() + QLatin1Char(':') + l->text();
        QCOMPARE(captions, QStringList({"fraDownloads:Stop after misses in a row", "fraDownloads:If the file exists",
                                        "fraDownloads:Retries", "fraDownloads:Pause between requests (ms)",
                                        "fraDownloads:Keep pictures", "fraDownloads:Pictures identical to an earlier one",
                                        "fraSiteAccess:Send Referer", "fraSiteAccess:Cookies file",
                                        "fraSiteAccess:Extra CA certificates", "fraSiteAccess:Identify as",
                                        "fraProxy:Proxy kind", "fraProxy:Proxy user", "fraProxy:Proxy password"}));
        auto *choice = more->findChild<QComboBox *>(QStringLiteral("cmbIfExists"));
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
