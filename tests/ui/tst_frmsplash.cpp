#include "core/settings.h"
#include "platform/programplace.h"
#include "platform/twips.h"
#include "ui/dialogs/frmsplash.h"
#include "ui/main/frmseriograb.h"
#include "windowharness.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestFrmSplash : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    ProgramPlace m_place;
    Settings m_settings;

    static QList<frmSeriograb *> mainWindows()
    {
        QList<frmSeriograb *> found;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *m = qobject_cast<frmSeriograb *>(w))
                found << m;
        return found;
    }

private Q_SLOTS:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(m_tmp->isValid());
        m_place.folder = m_tmp->path();
        m_place.name = QStringLiteral("seriograb");
        m_settings = Settings();
    }

    void cleanup()
    {
        harness::closeAllWindows();
    }

    void looksAsDesigned()
    {
        QPointer<frmSplash> splash = new frmSplash(m_settings, m_place);
        splash->show();
        QCOMPARE(splash->size(), QSize(twips::toPixels(6765), twips::toPixels(3840)));
        QVERIFY(splash->windowFlags() & Qt::FramelessWindowHint);
        auto *logo = splash->findChild<QLabel *>(QStringLiteral("Image1"));
        auto *second = splash->findChild<QLabel *>(QStringLiteral("Image2"));
        auto *version = splash->findChild<QLabel *>(QStringLiteral("Label1"));
        QVERIFY(logo && second && version);
        QCOMPARE(logo->pixmap().size(), QSize(250, 120));
        QCOMPARE(second->pixmap().size(), QSize(142, 100));
        QCOMPARE(version->text(), QStringLiteral("Version 1.10"));
        QCOMPARE(logo->parentWidget()->objectName(), QStringLiteral("Frame1"));
        QCOMPARE(logo->pos(), QPoint(twips::toPixels(240), twips::toPixels(360)));
        QCOMPARE(second->pos(), QPoint(twips::toPixels(4320), twips::toPixels(2160)));
        QCOMPARE(version->pos(), QPoint(twips::toPixels(120), twips::toPixels(3360)));
        QCOMPARE(logo->parentWidget()->geometry(),
                 QRect(twips::toPixels(150), twips::toPixels(60), twips::toPixels(6465),
                       twips::toPixels(3675)));
        QVERIFY(mainWindows().isEmpty());
    }

    // However the splash ends, the main window is built (its start-up runs) and shown once,
    // and the splash is gone.
    void opensTheMainWindowOnce_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("address");   // given on the command line
        QTest::newRow("timer") << "timer" << "";
        QTest::newRow("key press") << "key" << "";
        QTest::newRow("click on the frame") << "click" << "";
        QTest::newRow("key press, with an address") << "key" << "https://example.org/gallery/img_0042.jpg?size=1024";
    }

    void opensTheMainWindowOnce()
    {
        QFETCH(QString, how);
        QFETCH(QString, address);
        QPointer<frmSplash> splash = new frmSplash(m_settings, m_place, address);
        splash->show();
        QVERIFY(mainWindows().isEmpty());

        if (how == QLatin1String("key")) {
            QTest::keyClick(splash, Qt::Key_Space);
            QVERIFY(splash->mainWindow());
        } else if (how == QLatin1String("click")) {
            QWidget *frame = splash->findChild<QWidget *>(QStringLiteral("Frame1"));
            const QPoint free(frame->width() - 4, 4);
            QVERIFY(!frame->childAt(free));
            QTest::mouseClick(frame, Qt::LeftButton, {}, free);
            QVERIFY(splash->mainWindow());
        }
        QTRY_VERIFY_WITH_TIMEOUT(splash.isNull(), 5000);

        QCOMPARE(mainWindows().size(), 1);
        frmSeriograb *main = mainWindows().first();
        QVERIFY(main->isVisible());
        QVERIFY(main->testAttribute(Qt::WA_DeleteOnClose));
        // The main window's start-up ran: a first start turns the limit into 9999.
        QCOMPARE(m_settings.lastFile, qint16(9999));
        const QStringList fields = {main->prefixText(), main->numberText(), main->suffixText()};
        QCOMPARE(fields, address.isEmpty() ? QStringList({"", "01", ".jpg"})
                                           : QStringList({"https://example.org/gallery/img_", "0042", ".jpg?size=1024"}));

        // Nothing opens a second one later (the timer went with the splash).
        QTest::qWait(1300);
        QCOMPARE(mainWindows().size(), 1);
    }

    void clickOnAPictureDoesNothing()
    {
        QPointer<frmSplash> splash = new frmSplash(m_settings, m_place);
        splash->show();
        auto *logo = splash->findChild<QLabel *>(QStringLiteral("Image1"));
        QTest::mouseClick(logo, Qt::LeftButton, {}, QPoint(10, 10));
        QVERIFY(!splash->mainWindow());
        QVERIFY(splash->isVisible());
        QVERIFY(mainWindows().isEmpty());
    }
};

QTEST_MAIN(TestFrmSplash)
#include "tst_frmsplash.moc"
