// The default skin's artwork: the GIF and icon writers it is encoded with,
// and the pictures built into the server, which must be what the artwork
// draws (the server itself draws nothing).
#include "server/skins/DefaultSkin.h"
#include "server/skins/artwork/PictureWriters.h"
#include "server/skins/artwork/SkinArtwork.h"

#include <QBuffer>
#include <QImageReader>
#include <QRandomGenerator>
#include <QtTest>

class TestSkinArtwork : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void gifRoundTripsExactly_data();
    void gifRoundTripsExactly();
    void gifWithManyColoursStillReads();
    void icoKeepsSizesAndAlpha();
    void builtInPicturesAreTheDrawnOnes();
};

static QImage decode(const QByteArray &bytes, const QByteArray &format)
{
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer, format);
    return reader.read();
}

void TestSkinArtwork::gifRoundTripsExactly_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("colours");
    QTest::newRow("1x1, one colour") << QSize(1, 1) << 1;
    QTest::newRow("18x18, two colours") << QSize(18, 18) << 2;
    QTest::newRow("33x7, 5 colours") << QSize(33, 7) << 5;
    // Noise in many colours fills the code table and forces it to start over.
    QTest::newRow("96x96 noise, 255 colours") << QSize(96, 96) << 255;
}

void TestSkinArtwork::gifRoundTripsExactly()
{
    QFETCH(QSize, size);
    QFETCH(int, colours);
    QRandomGenerator random(quint32(size.width() * 1000 + colours));
    QList<QRgb> palette;
    for (int i = 0; i < colours; ++i)
        palette << (0xFF000000u | random.bounded(0x1000000u));
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, (x + y) % 11 == 0 ? 0u : palette[int(random.bounded(quint32(colours)))]);

    const QImage back = decode(alertserver::encodeGif(image), "gif").convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(back.size(), image.size());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb want = image.pixel(x, y);
            const QRgb got = back.pixel(x, y);
            if (qAlpha(want) == 0)
                QVERIFY2(qAlpha(got) == 0, qPrintable(QStringLiteral("%1,%2 should be transparent").arg(x).arg(y)));
            else
                QVERIFY2(got == want, qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
        }
}

void TestSkinArtwork::gifWithManyColoursStillReads()
{
    QImage image(64, 64, QImage::Format_ARGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            image.setPixel(x, y, qRgb(x * 4, y * 4, (x * y) % 256));
    const QImage back = decode(alertserver::encodeGif(image), "gif").convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(back.size(), image.size());
    // Mapped onto the colour cube: every channel within half a step.
    for (int y = 0; y < 64; y += 7)
        for (int x = 0; x < 64; x += 5) {
            QVERIFY(qAbs(qRed(back.pixel(x, y)) - qRed(image.pixel(x, y))) <= 26);
            QVERIFY(qAbs(qBlue(back.pixel(x, y)) - qBlue(image.pixel(x, y))) <= 26);
        }
}

void TestSkinArtwork::icoKeepsSizesAndAlpha()
{
    QImage big(32, 32, QImage::Format_ARGB32);
    big.fill(Qt::transparent);
    for (int i = 0; i < 32; ++i)
        big.setPixel(i, i, qRgba(200, 10, 20, 255));
    QImage small(16, 16, QImage::Format_ARGB32);
    small.fill(qRgba(0, 128, 255, 255));
    const QByteArray ico = alertserver::encodeIco({big, small});

    QBuffer buffer;
    buffer.setData(ico);
    QImageReader reader(&buffer, "ico");
    QCOMPARE(reader.imageCount(), 2);
    const QImage first = reader.read().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(first.size(), QSize(32, 32));
    QCOMPARE(first.pixel(5, 5), qRgba(200, 10, 20, 255));
    QCOMPARE(qAlpha(first.pixel(5, 6)), 0);
    QVERIFY(reader.jumpToNextImage());
    const QImage second = reader.read().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(second.size(), QSize(16, 16));
    QCOMPARE(second.pixel(15, 0), qRgba(0, 128, 255, 255));
}

void TestSkinArtwork::builtInPicturesAreTheDrawnOnes()
{
    const QStringList names = alertserver::defaultskin::pictureNames();
    QCOMPARE(names.size(), 5);
    for (const QString &name : names) {
        const QByteArray drawn = alertserver::artwork::drawPicture(name);
        QVERIFY2(!drawn.isEmpty(), qPrintable(name));
        QVERIFY2(alertserver::defaultskin::picture(name) == drawn,
                 qPrintable(name + QStringLiteral(" differs from what the artwork draws: redraw server/skins/default")));
    }
}

QTEST_MAIN(TestSkinArtwork)
#include "tst_skinartwork.moc"
