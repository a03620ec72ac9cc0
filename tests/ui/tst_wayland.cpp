// The program's window running natively on Wayland (Qt's wayland plug-in, no XWayland): a
// series fetched and saved through it. Run by tests/ui/wayland-run under a headless weston.
#include "scriptedserver.h"
#include "windowharness.h"

#include <QGuiApplication>

using namespace harness;

class TestWayland : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void seriesOnWayland()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        ScriptedServer server;
        server.routeSeries({1, 2, 3});
        Folders folders;
        QVERIFY(folders.writeParameters("[LASTFILE]\r\n3\r\n"));
        Settings settings;
        frmSeriograb *w = makeWindow(settings, folders.place, server.url(QStringLiteral("/pic")));
        QVERIFY(QTest::qWaitForWindowExposed(w));
        click(w, "btnGet");
        QCOMPARE(status(w), QStringLiteral("Completed downloading maximum number if files (3) - 3 saved, 0 gave no picture"));
        QCOMPARE(entries(folders.out), QStringList({"pic01.jpg", "pic02.jpg", "pic03.jpg"}));
        QCOMPARE(contents(folders.outFile(QStringLiteral("pic02.jpg"))), QByteArray("picture 2"));
        closeAllWindows();
    }
};

QTEST_MAIN(TestWayland)
#include "tst_wayland.moc"
