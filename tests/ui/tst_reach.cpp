// Every control named for assistive technology, and every window whole on a 1280x800 screen at
// the font scale the test runs with (100 % or 150 %, from the screen file CTest gives).
#include "ui/dialogs/frmmore.h"
#include "ui/dialogs/frmoptions.h"
#include "ui/dialogs/frmrunlog.h"
#include "windowharness.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QScreen>

class TestReach : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    ProgramPlace m_place;
    Settings m_settings;
    std::unique_ptr<frmSeriograb> m_main;

    // The main window, Options with More Options over it, and the Run Log, all open at once.
    QList<QWidget *> openEveryWindow()
    {
        m_main->show();
        for (int n = 1; n <= 30; ++n)
            m_main->logPass(QStringLiteral("%1  http://h/p%1.jpg  no picture: text/html, HTTP status 404").arg(n));
        harness::trigger(m_main.get(), "runLog");
        harness::trigger(m_main.get(), "opt");
        QWidget *options = harness::openWindow("frmOptions");
        QTest::mouseClick(options->findChild<QPushButton *>(QStringLiteral("cmdMore")), Qt::LeftButton);
        return {m_main.get(), options, harness::openWindow("frmMore"), harness::openWindow("frmRunLog")};
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_place.folder = m_dir->path();
        m_place.name = QStringLiteral("seriograb");
        m_settings = Settings();
        m_main = std::make_unique<frmSeriograb>(m_settings, m_place);
    }

    void cleanup()
    {
        m_main.reset();
        harness::closeAllWindows();
    }

    void accessibleNames_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");   // empty: any
        auto row = [](const char *window, const char *control, const char *name, const char *description = "") {
            QTest::addRow("%s %s", window, control) << window << control << name << description;
        };
        row("frmSeriograb", "cmbURL1", "Address before the number");
        row("frmSeriograb", "txtURL2", "Number");
        row("frmSeriograb", "txtURL3", "Address after the number");
        row("frmSeriograb", "UpDown1Up", "Next number");
        row("frmSeriograb", "UpDown1Down", "Previous number");
        row("frmSeriograb", "btnGet", "Get");
        row("frmSeriograb", "btnStop", "Stop");
        row("frmSeriograb", "img1", "Picture", "The program's logo, until a picture comes");
        row("frmSeriograb", "prgTransfer", "Transfer progress");
        row("frmOptions", "txtDir", "Save To folder");
        row("frmOptions", "drv", "Drive");
        row("frmOptions", "dir", "Folders");
        row("frmOptions", "txtHead", "Header Text");
        row("frmOptions", "txtLast", "Max Number of Files");
        row("frmOptions", "txtProxyIP", "Proxy Server");
        row("frmOptions", "txtProxyPort", "Proxy Port", "1 to 65535; empty without a proxy server");
        row("frmOptions", "cmdBrowse", "Browse for the Save To folder");
        row("frmOptions", "cmdMore", "More options");
        row("frmOptions", "cmdOK", "OK");
        row("frmMore", "txtMaxMisses", "Stop after misses in a row");
        row("frmMore", "cmbIfExists", "If the file exists");
        row("frmMore", "txtRetries", "Retries");
        row("frmMore", "txtPause", "Pause between requests (ms)");
        row("frmMore", "cmbKeep", "Keep pictures");
        row("frmMore", "cmbReferer", "Send Referer", "The page address sent with each request");
        row("frmMore", "txtReferer", "Fixed Referer address");
        row("frmMore", "txtCookies", "Cookies file");
        row("frmMore", "cmdCookies", "Browse for the cookies file");
        row("frmMore", "txtCaFile", "Extra CA certificates");
        row("frmRunLog", "chkWrongOnly", "Show only what went wrong");
        row("frmRunLog", "tblLog", "Run Log");
    }

    void accessibleNames()
    {
        QFETCH(QString, window);
        QFETCH(QString, control);
        QFETCH(QString, name);
        QFETCH(QString, description);
        openEveryWindow();
        QWidget *w = harness::openWindow(qPrintable(window))->findChild<QWidget *>(control);
        QVERIFY(w);
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(w);
        QVERIFY(a);
        QString heard = a->text(QAccessible::Name);
        // A caption beside a field reaches AT-SPI as the field's "labelled by" relation.
        for (const auto &[label, relation] : a->relations(QAccessible::Label))
            if (heard != name && label->text(QAccessible::Name) == name)
                heard = name;
        // On Linux Qt names a drop-down list by its value; elsewhere by this.
        if (heard != name && qobject_cast<QComboBox *>(w))
            heard = w->accessibleName();
        QCOMPARE(heard, name);
        if (!description.isEmpty())
            QCOMPARE(a->text(QAccessible::Description), description);
    }

    // Every control the keyboard reaches has a name, in every window: none is left out of the table.
    void noControlWithoutAName()
    {
        for (QWidget *window : openEveryWindow()) {
            for (QWidget *w : window->findChildren<QWidget *>()) {
                if (!(w->focusPolicy() & Qt::TabFocus) || !w->isVisibleTo(window) || w->objectName().isEmpty())
                    continue;
                QAccessibleInterface *a = QAccessible::queryAccessibleInterface(w);
                QVERIFY2(a && !a->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(w->objectName()));
            }
        }
    }

    // Each window lies wholly on the screen, the Run Log beside the main window, and no caption
    // is cut.
    void windowsFitTheScreen()
    {
        const QList<QWidget *> windows = openEveryWindow();
        const QRect screen = m_main->screen()->availableGeometry();
        for (QWidget *window : windows) {
            QVERIFY2(screen.contains(window->frameGeometry()), qPrintable(window->objectName()));
            for (QWidget *w : window->findChildren<QWidget *>()) {
                auto *button = qobject_cast<QAbstractButton *>(w);
                if (!w->isVisibleTo(window) || !(qobject_cast<QLabel *>(w) || (button && !button->text().isEmpty())))
                    continue;
                if (auto *label = qobject_cast<QLabel *>(w); label && (label->text().isEmpty() || label->wordWrap()))
                    continue;
                QVERIFY2(w->sizeHint().width() <= w->width(),
                         qPrintable(QStringLiteral("%1: %2 wide, needs %3").arg(w->objectName()).arg(w->width()).arg(w->sizeHint().width())));
            }
        }
        QVERIFY(!windows.last()->frameGeometry().intersects(m_main->frameGeometry()));
    }
};

QTEST_MAIN(TestReach)
#include "tst_reach.moc"
