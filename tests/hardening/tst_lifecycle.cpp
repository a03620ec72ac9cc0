#include "scriptedserver.h"
#include "windowharness.h"

using namespace harness;

/// Commands given while a run waits inside a transfer or a prompt, and windows closed under it.
class TestLifecycle : public QObject
{
    Q_OBJECT

    std::unique_ptr<Folders> m_folders;
    std::unique_ptr<ScriptedServer> m_server;
    Settings m_settings;

    // Runs fn while the transfer of pass `pass` is under way: once its request has reached the
    // server, which holds the answer until fn is done.
    void duringPass(int pass, std::function<void()> fn)
    {
        m_server->routeSeries({pass}, true);
        const QString path = ScriptedServer::seriesPath(pass);
        auto done = std::make_shared<bool>(false);
        connect(m_server.get(), &ScriptedServer::received, m_server.get(), [=, this](const QString &got) {
            if (*done || got != path)
                return;
            *done = true;
            QTimer::singleShot(0, m_server.get(), [=, this] {
                fn();
                m_server->release(path);
            });
        });
    }

private Q_SLOTS:
    void init()
    {
        m_folders = std::make_unique<Folders>();
        m_server = std::make_unique<ScriptedServer>();
        m_settings = Settings();
    }

    void cleanup()
    {
        closeAllWindows();
        m_server.reset();
        m_folders.reset();
    }

    void closeWhileOptionsIsOpen_data()
    {
        QTest::addColumn<bool>("duringARun");
        QTest::newRow("idle") << false;
        QTest::newRow("during a run") << true;
    }

    // The window goes, and takes the dialog with it, once the run has ended.
    void closeWhileOptionsIsOpen()
    {
        QFETCH(bool, duringARun);
        m_server->routeSeries({1, 2, 3});
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n3\r\n"));
        const QByteArray storedBefore = contents(m_folders->place.parameterFile());
        QPointer<frmSeriograb> w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        QPointer<QWidget> options;
        auto openAndClose = [&] {
            if (duringARun)   // the answers of 2 and 3 wait in their part files for the first
                QTRY_COMPARE(entries(m_folders->out).size(), 2);
            trigger(w, "opt");
            options = openWindow("frmOptions");
            QVERIFY(options);
            QVERIFY(!w->isEnabled());
            w->close();
        };
        if (duringARun) {
            duringPass(1, openAndClose);
            click(w, "btnGet");
        } else {
            openAndClose();
        }
        QTRY_VERIFY(w.isNull());
        QTRY_VERIFY(options.isNull());
        QCOMPARE(contents(m_folders->place.parameterFile()), storedBefore);
        // The transfers of the first three numbers were cancelled, their part files removed, and
        // no other transfer began.
        QVERIFY(entries(m_folders->out).isEmpty());
        QCOMPARE(m_server->requests().size(), duringARun ? 3 : 0);
    }

    // The prompt is modal, so only the program itself can close the window under it; the
    // answer still names the file, and the window goes once the pass is over.
    void closeDuringTheRenamePrompt()
    {
        m_server->routeSeries({1, 2, 3});
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n3\r\n"));
        QVERIFY(writeFile(m_folders->outFile(QStringLiteral("pic01.jpg")), QByteArray(5000, 'o')));
        QPointer<frmSeriograb> w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        PromptAnswerer prompts(QStringLiteral("renamed"));
        prompts.onPrompt = [&](QInputDialog *) { w->close(); };
        click(w, "btnGet");

        QTRY_VERIFY(w.isNull());
        QCOMPARE(prompts.count, 1);
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("renamed.jpg"))), QByteArray("picture 1"));
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic01.jpg"))), QByteArray(5000, 'o'));
        QVERIFY(m_server->requests().size() <= 3);
        // The transfers that ran ahead left no part file behind.
        QCOMPARE(entries(m_folders->out), QStringList({QStringLiteral("pic01.jpg"), QStringLiteral("renamed.jpg")}));
    }

    // Cancel at the rename prompt saves nothing for that picture, and the run goes on.
    void cancelAtTheRenamePromptSkipsThePicture()
    {
        m_server->routeSeries({1, 2});
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n2\r\n"));
        QVERIFY(writeFile(m_folders->outFile(QStringLiteral("pic01.jpg")), QByteArray(5000, 'o')));
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        PromptAnswerer prompts{QString()};
        click(w, "btnGet");

        QCOMPARE(prompts.count, 1);
        QCOMPARE(status(w), QStringLiteral("Completed downloading maximum number if files (2) - 1 saved, 0 gave no picture, 1 skipped"));
        QCOMPARE(contents(m_folders->outFile(QStringLiteral("pic01.jpg"))), QByteArray(5000, 'o'));
        QCOMPARE(entries(m_folders->out), QStringList({QStringLiteral("pic01.jpg"), QStringLiteral("pic02.jpg")}));
    }

    void getDuringARunStartsNoSecondRun()
    {
        m_server->routeSeries({1, 2, 3});
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n3\r\n"));
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        m_settings.transfers = 1;   // each pass waits for its own transfer, as the command needs
        int presses = 0;
        for (int pass = 1; pass <= 3; ++pass)
            duringPass(pass, [&] {
                click(w, "btnGet");
                trigger(w, "get");
                presses += 2;
            });
        click(w, "btnGet");
        QCOMPARE(presses, 6);
        QCOMPARE(endText(status(w)), QStringLiteral("Completed downloading maximum number if files (3)"));
        QCOMPARE(m_server->requests().size(), 3);
        QCOMPARE(number(w), QStringLiteral("04"));
        QCOMPARE(contents(m_folders->place.file(QStringLiteral("history.par"))),
                 "cmburl1=" + m_server->url(QStringLiteral("/pic")).toUtf8() + "\r\n");
    }

    void stopWithoutARunDoesNotStopTheNext()
    {
        m_server->routeSeries({1, 2, 3});
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n3\r\n"));
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        click(w, "btnStop");
        trigger(w, "stp");
        QVERIFY(status(w).isEmpty());
        click(w, "btnGet");
        QCOMPARE(endText(status(w)), QStringLiteral("Completed downloading maximum number if files (3)"));
        QCOMPARE(entries(m_folders->out).size(), 3);
    }

    void multipleDownloadsSwitchedDuringARun_data()
    {
        QTest::addColumn<int>("switches");
        QTest::addColumn<int>("passes");
        QTest::addColumn<QString>("report");
        QTest::newRow("off") << 1 << 2 << "Downloading Stopped because Multiple Download Option is OFF";
        QTest::newRow("off and on again") << 2 << 4 << "Completed downloading maximum number if files (4)";
    }

    void multipleDownloadsSwitchedDuringARun()
    {
        QFETCH(int, switches);
        QFETCH(int, passes);
        QFETCH(QString, report);
        m_server->routeSeries({1, 2, 3, 4});
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n4\r\n"));
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        m_settings.transfers = 1;   // each pass waits for its own transfer, as the command needs
        duringPass(2, [&] {
            for (int i = 0; i < switches; ++i)
                trigger(w, "mul");
        });
        click(w, "btnGet");
        QCOMPARE(endText(status(w)), report);
        QCOMPARE(m_server->requests().size(), passes);
        QCOMPARE(entries(m_folders->out).size(), passes);
    }

    // New settings act from the next run, but for the maximum, which ends this one; the status
    // line says so.
    void optionsOkDuringARun()
    {
        m_server->routeSeries({1, 2, 3, 4, 5});
        QVERIFY(m_folders->writeParameters("[LASTFILE]\r\n5\r\n"));
        frmSeriograb *w = makeWindow(m_settings, m_folders->place, m_server->url(QStringLiteral("/pic")));
        m_settings.transfers = 1;   // each pass waits for its own transfer, as the command needs
        duringPass(2, [&] {
            trigger(w, "opt");
            QWidget *options = openWindow("frmOptions");
            QVERIFY(options);
            options->findChild<QLineEdit *>(QStringLiteral("txtHead"))->setText(QStringLiteral("new_"));
            options->findChild<QLineEdit *>(QStringLiteral("txtLast"))->setText(QStringLiteral("3"));
            QTest::mouseClick(options->findChild<QPushButton *>(QStringLiteral("cmdOK")), Qt::LeftButton);
            QVERIFY2(status(w).startsWith(QLatin1String("Options saved: ")), qPrintable(status(w)));
        });
        click(w, "btnGet");
        QVERIFY(w->isEnabled());
        QCOMPARE(endText(status(w)), QStringLiteral("Completed downloading maximum number if files (3)"));
        QCOMPARE(entries(m_folders->out), QStringList({QStringLiteral("pic01.jpg"), QStringLiteral("pic02.jpg"),
                                                       QStringLiteral("pic03.jpg")}));
        QVERIFY(contents(m_folders->place.parameterFile()).contains("[HEADERTEXT]\r\nnew_\r\n"));
    }
};

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
