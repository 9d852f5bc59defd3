#include "window/appicon.h"

#include <QImage>
#include <QPixmap>
#include <QTest>

using namespace Qt::StringLiterals;

class TestAppIcon : public QObject
{
    Q_OBJECT

private slots:
    void drawnForEachSize_data();
    void drawnForEachSize();
};

void TestAppIcon::drawnForEachSize_data()
{
    QTest::addColumn<int>("size");
    for (const int size : kAppIconSizes)
        QTest::addRow("%dx%d", size, size) << size;
}

// Each size comes from its own picture: a missing one would be scaled from the next larger
// (blurred) or, for sizes above the largest, left smaller than asked.
void TestAppIcon::drawnForEachSize()
{
    QFETCH(int, size);
    const QIcon icon = AppIcon();
    QVERIFY(icon.availableSizes().contains(QSize(size, size)));
    const QImage drawn = icon.pixmap(QSize(size, size)).toImage();
    QCOMPARE(drawn.size(), QSize(size, size));
    const QImage file(u":/icons/%1x%1/pelmor.png"_s.arg(size));
    QCOMPARE(drawn.convertToFormat(QImage::Format_ARGB32_Premultiplied),
             file.convertToFormat(QImage::Format_ARGB32_Premultiplied));
}

QTEST_MAIN(TestAppIcon)
#include "tst_appicon.moc"
