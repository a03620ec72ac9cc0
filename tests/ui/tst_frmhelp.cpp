#include "platform/twips.h"
#include "ui/dialogs/frmhelp.h"
#include "windowharness.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <memory>

class TestFrmHelp : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QWidget> m_main;

    QPointer<frmHelp> open()
    {
        QPointer<frmHelp> help = new frmHelp(m_main.get());
        help->show();
        return help;
    }

    static QString shownText(frmHelp *help)
    {
        return help->findChild<QPlainTextEdit *>(QStringLiteral("Text1"))->toPlainText();
    }

private Q_SLOTS:
    void init()
    {
        m_main = std::make_unique<QWidget>();
        m_main->resize(600, 400);
        m_main->show();
    }

    void cleanup()
    {
        m_main.reset();
        harness::closeAllWindows();
    }

    void textLineByLine_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("expected");
        const QStringList lines = {
            "",
            "This is a freeware product. At the moment there is no help file. I will integrate "
            "a help file when I have time. But I think everything is self explanatory. ",
            "",
            "This software is helpful to download images (gif and jpg) which has a sequential "
            "naming system eg.",
            "",
            "www.example.com/home/images/pic01.jpg",
            "www.example.com/home/images/pic02.jpg",
            "",
            "and so on",
            "",
            "fill the 3 text boxes in this way",
            "text box 1 : www.example.org/home/images/pic",
            "text box 2 : 01",
            "text box 3 : .jpg",
            "",
            "The number in the textbox will increment after each file",
            "",
            "Please forward your comments and questions to seriograb@example.org",
        };
        for (int i = 0; i < lines.size(); ++i)
            QTest::addRow("line %d", i + 1) << i + 1 << lines.at(i);
    }

    void textLineByLine()
    {
        QFETCH(int, line);
        QFETCH(QString, expected);
        const QStringList lines = frmHelp::helpText().split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 18);
        QCOMPARE(lines.at(line - 1), expected);
    }

    void textEnds()
    {
        const QString text = frmHelp::helpText();
        QVERIFY(text.startsWith(QLatin1String("\r\n")));
        QVERIFY(!text.endsWith(QLatin1Char('\n')));
        QVERIFY(!text.endsWith(QLatin1Char('\r')));
        // No bare line feeds or carriage returns: every break is CR LF.
        QCOMPARE(text.count(QLatin1Char('\n')), 17);
        QCOMPARE(text.count(QLatin1Char('\r')), 17);
    }

    void windowShowsTheTextEveryTime()
    {
        QString expected = frmHelp::helpText();
        expected.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        for (int round = 0; round < 2; ++round) {
            QPointer<frmHelp> help = open();
            QCOMPARE(help->windowTitle(), QStringLiteral("Help"));
            QCOMPARE(shownText(help), expected);
            auto *text = help->findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
            QCOMPARE(help->focusWidget(), text);
            QCOMPARE(text->palette().color(QPalette::Base),
                     QApplication::palette().color(QPalette::ToolTipBase));
            QVERIFY(help->close());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY(help.isNull());
        }
    }

    void mainWindowDisabledWhileOpen_data()
    {
        QTest::addColumn<bool>("byOk");
        QTest::newRow("OK") << true;
        QTest::newRow("close button") << false;
    }

    void mainWindowDisabledWhileOpen()
    {
        QFETCH(bool, byOk);
        QPointer<frmHelp> help = open();
        QVERIFY(!m_main->isEnabled());
        QVERIFY(help->isEnabled());
        if (byOk)
            QTest::mouseClick(help->findChild<QPushButton *>(QStringLiteral("btnOK")), Qt::LeftButton);
        else
            QVERIFY(help->close());
        QVERIFY(m_main->isEnabled());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(help.isNull());
    }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("twipsRect");
        QTest::newRow("Image1") << "Image1" << QRect(600, 120, 4710, 930);
        QTest::newRow("Frame1") << "Frame1" << QRect(120, 960, 5775, 2775);
        QTest::newRow("Text1") << "Text1" << QRect(120, 240, 5535, 2295);
        QTest::newRow("btnOK") << "btnOK" << QRect(4680, 3960, 1215, 375);
    }

    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QRect, twipsRect);
        QPointer<frmHelp> help = open();
        QCOMPARE(help->size(), QSize(twips::toPixels(6150), twips::toPixels(4575)));
        QCOMPARE(help->minimumSize(), help->maximumSize());
        auto *w = help->findChild<QWidget *>(name);
        QVERIFY(w);
        QCOMPARE(w->geometry(), QRect(twips::toPixels(twipsRect.x()), twips::toPixels(twipsRect.y()),
                                      twips::toPixels(twipsRect.width()),
                                      twips::toPixels(twipsRect.height())));
        QCOMPARE(help->findChild<QLabel *>(QStringLiteral("Image1"))->pixmap().size(), QSize(314, 62));
    }

    void centredOnTheMainWindow()
    {
        m_main->move(40, 30);
        QPointer<frmHelp> help = open();
        const QPoint mainCentre = m_main->frameGeometry().center();
        const QPoint ownCentre = help->frameGeometry().center();
        QVERIFY(qAbs(mainCentre.x() - ownCentre.x()) <= 1);
        QVERIFY(qAbs(mainCentre.y() - ownCentre.y()) <= 1);
    }
};

QTEST_MAIN(TestFrmHelp)
#include "tst_frmhelp.moc"
