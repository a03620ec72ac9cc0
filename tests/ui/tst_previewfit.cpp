#include "ui/main/previewfit.h"

#include <QTest>

class TestPreviewFit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fit_data()
    {
        QTest::addColumn<int>("areaWidth");
        QTest::addColumn<int>("areaHeight");
        QTest::addColumn<QSize>("picturePixels");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("top");
        QTest::addColumn<int>("left");

        QTest::newRow("wide picture, height bound") << 7875 << 3000 << QSize(200, 100)
                                                    << 6000 << 3000 << 600 << 1038;
        QTest::newRow("tall picture") << 7875 << 3000 << QSize(100, 200) << 1500 << 3000 << 600 << 3288;
        QTest::newRow("exactly the area height keeps the width fit")
                << 7875 << 2625 << QSize(300, 100) << 7875 << 2625 << 600 << 100;
        QTest::newRow("small picture is enlarged") << 7875 << 3000 << QSize(16, 16)
                                                   << 3000 << 3000 << 600 << 2538;
        QTest::newRow("logo, top rounds half to even") << 7875 << 4485 << QSize(250, 120)
                                                       << 7875 << 3780 << 952 << 100;
    }

    void fit()
    {
        QFETCH(int, areaWidth);
        QFETCH(int, areaHeight);
        QFETCH(QSize, picturePixels);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, top);
        QFETCH(int, left);

        const QSize him = previewfit::himetric(picturePixels);
        const PreviewRect r = previewfit::fit(areaWidth, areaHeight, him.width(), him.height());
        QCOMPARE(r.width, width);
        QCOMPARE(r.height, height);
        QCOMPARE(r.top, top);
        QCOMPARE(r.left, left);
    }
};

QTEST_GUILESS_MAIN(TestPreviewFit)
#include "tst_previewfit.moc"
