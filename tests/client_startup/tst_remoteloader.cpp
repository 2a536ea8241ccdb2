#include "client/startup/RemoteLoader.h"
#include "support/Patience.h"
#include "support/ScriptedServer.h"
#include "SkinFixture.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

using client::RemoteLoader;
using namespace testsupport;

Q_DECLARE_METATYPE(testsupport::ScriptedReply)

class TestRemoteLoader : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void emptyAddressStartsNothing();
    void pictureIsShownBeforeTheEventIsRaised();
    void failedDownloadsKeepThePicture_data();
    void failedDownloadsKeepThePicture();
    void sameAddressTwiceIsTwoDownloads();
    void decodesTheSkinFormats_data();
    void decodesTheSkinFormats();
    void stretchScalesThePictureToTheControl();
    void storedFormNeverStartsADownload();

private:
    ScriptedServer *m_server = nullptr;
};

void TestRemoteLoader::init()
{
    delete m_server;
    m_server = new ScriptedServer(this);
    QVERIFY(m_server->listen());
}

void TestRemoteLoader::emptyAddressStartsNothing()
{
    RemoteLoader loader;
    QSignalSpy done(&loader, &RemoteLoader::loadComplete);
    QSignalSpy started(&loader, &RemoteLoader::downloadStarted);
    loader.setUrl(m_server->baseUrl() + "/a.png");
    QTRY_COMPARE(done.count(), 1);
    loader.setUrl(QString());
    QCOMPARE(loader.url(), QString());
    // Give a stray download every chance to show up.
    QTest::qWait(testsupport::patient(200));
    QCOMPARE(done.count(), 1);
    QCOMPARE(started.count(), 1);
    QCOMPARE(m_server->requestCount(), 1);
}

void TestRemoteLoader::pictureIsShownBeforeTheEventIsRaised()
{
    m_server->setReply("/skins/red.png", ScriptedReply::picture(skinfixture::png(Qt::red, {5, 7}), "image/png"));
    RemoteLoader loader;
    QSize seenInHandler;
    bool result = false;
    int events = 0;
    connect(&loader, &RemoteLoader::loadComplete, this, [&](bool errCode) {
        ++events;
        result = errCode;
        seenInHandler = loader.Picture().size();
    });
    loader.setUrl(m_server->baseUrl() + "/skins/red.png");
    QCOMPARE(events, 0); // never from inside the write
    QTRY_COMPARE(events, 1);
    QVERIFY(result);
    QCOMPARE(seenInHandler, QSize(5, 7));
    QCOMPARE(loader.Picture().toImage().pixelColor(2, 3), QColor(Qt::red));
    QCOMPARE(m_server->request(0).target, QByteArray("/skins/red.png"));
}

void TestRemoteLoader::failedDownloadsKeepThePicture_data()
{
    QTest::addColumn<ScriptedReply>("reply");
    QTest::newRow("html page") << ScriptedReply::html("<html><body>Not here</body></html>").withStatus(404);
    QTest::newRow("html page with 200") << ScriptedReply::html("<!DOCTYPE html><html><p>skin</p></html>");
    QTest::newRow("truncated png") << ScriptedReply::picture(skinfixture::png(Qt::blue).left(30), "image/png");
    // Qt's readers decode these cut-short files into whole-sized pictures with
    // the rest painted black; they must not pass for a delivered skin picture.
    const QByteArray gif = skinfixture::stripedGif(64, 64);
    QTest::newRow("truncated gif") << ScriptedReply::picture(gif.left(gif.size() * 6 / 10), "image/gif");
    QTest::newRow("gif cut after its header") << ScriptedReply::picture(gif.left(40), "image/gif");
    const QByteArray jpeg = skinfixture::encodedImage(Qt::blue, {64, 64}, "JPEG");
    QTest::newRow("truncated jpeg") << ScriptedReply::picture(jpeg.left(jpeg.size() * 9 / 10), "image/jpeg");
    const QByteArray bmp = skinfixture::encodedImage(Qt::blue, {64, 64}, "BMP");
    QTest::newRow("truncated bmp") << ScriptedReply::picture(bmp.left(bmp.size() / 2), "image/bmp");
    QTest::newRow("connection dropped") << ScriptedReply::drop();
    QTest::newRow("cut mid-body")
        << ScriptedReply::picture(skinfixture::png(Qt::blue, {64, 64}), "image/png").as(ScriptedReply::Kind::CutMidBody);
    QTest::newRow("svg is not a skin format")
        << ScriptedReply::picture("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"/>", "image/svg+xml");
}

void TestRemoteLoader::failedDownloadsKeepThePicture()
{
    QFETCH(ScriptedReply, reply);
    m_server->setReply("/good.png", ScriptedReply::picture(skinfixture::png(Qt::green), "image/png"));
    m_server->setReply("/bad", reply);
    RemoteLoader loader;
    QSignalSpy done(&loader, &RemoteLoader::loadComplete);
    loader.setUrl(m_server->baseUrl() + "/good.png");
    QTRY_COMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).toBool(), true);
    const qint64 before = loader.Picture().cacheKey();

    loader.setUrl(m_server->baseUrl() + "/bad");
    QTRY_COMPARE(done.count(), 2);
    QCOMPARE(done.at(1).at(0).toBool(), false);
    QCOMPARE(loader.Picture().cacheKey(), before);
    QCOMPARE(loader.Picture().toImage().pixelColor(0, 0), QColor(Qt::green));

    // A fresh control that fails keeps showing nothing.
    RemoteLoader fresh;
    QSignalSpy freshDone(&fresh, &RemoteLoader::loadComplete);
    fresh.setUrl(m_server->baseUrl() + "/bad");
    QTRY_COMPARE(freshDone.count(), 1);
    QCOMPARE(freshDone.at(0).at(0).toBool(), false);
    QVERIFY(fresh.Picture().isNull());
}

void TestRemoteLoader::sameAddressTwiceIsTwoDownloads()
{
    // The first answer is slow, so both downloads run at the same time.
    m_server->queueReply("/p.png", ScriptedReply::picture(skinfixture::png(Qt::red), "image/png").withDelay(300));
    m_server->setReply("/p.png", ScriptedReply::picture(skinfixture::png(Qt::blue), "image/png"));
    RemoteLoader loader;
    QSignalSpy done(&loader, &RemoteLoader::loadComplete);
    loader.setUrl(m_server->baseUrl() + "/p.png");
    loader.setUrl(m_server->baseUrl() + "/p.png");
    QTRY_COMPARE(done.count(), 2);
    QVERIFY(done.at(0).at(0).toBool() && done.at(1).at(0).toBool());
    QCOMPARE(m_server->countFor("/p.png"), 2);
    // The slow red one finished last and is what the control shows.
    QCOMPARE(loader.Picture().toImage().pixelColor(0, 0), QColor(Qt::red));
}

void TestRemoteLoader::decodesTheSkinFormats_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size");
    QTest::newRow("bmp") << skinfixture::encodedImage(Qt::red, {3, 2}, "BMP") << QSize(3, 2);
    QTest::newRow("png") << skinfixture::encodedImage(Qt::red, {3, 2}, "PNG") << QSize(3, 2);
    QTest::newRow("jpeg") << skinfixture::encodedImage(Qt::red, {8, 8}, "JPEG") << QSize(8, 8);
    QTest::newRow("ico") << skinfixture::encodedImage(Qt::red, {16, 16}, "ICO") << QSize(16, 16);
    QTest::newRow("gif") << skinfixture::gif() << QSize(1, 1);
    QTest::newRow("striped gif") << skinfixture::stripedGif(64, 48) << QSize(64, 48);
    QTest::newRow("gif without trailer") << skinfixture::stripedGif(5, 5, false) << QSize(5, 5);
    QTest::newRow("bmp with trailing bytes") << skinfixture::encodedImage(Qt::red, {3, 2}, "BMP") + "xyz" << QSize(3, 2);
}

void TestRemoteLoader::decodesTheSkinFormats()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QVERIFY(!bytes.isEmpty());
    const QImage image = RemoteLoader::decodePicture(bytes);
    QCOMPARE(image.size(), size);
}

void TestRemoteLoader::stretchScalesThePictureToTheControl()
{
    RemoteLoader loader;
    loader.resize(40, 30);
    loader.setPicture(QPixmap::fromImage(QImage::fromData(skinfixture::png(Qt::red, {4, 3}))));
    auto *image = loader.findChild<QLabel *>("Image1");
    QVERIFY(image);
    QVERIFY(!loader.Stretch());
    loader.setStretch(true);
    QVERIFY(loader.Stretch());
    loader.show();
    QVERIFY(QTest::qWaitForWindowExposed(&loader));
    QCOMPARE(image->geometry(), QRect(0, 0, 40, 30));
    const QImage shown = loader.grab().toImage();
    QCOMPARE(shown.pixelColor(35, 25), QColor(Qt::red));
    loader.setStretch(false);
    QVERIFY(loader.grab().toImage().pixelColor(35, 25) != QColor(Qt::red));
}

void TestRemoteLoader::storedFormNeverStartsADownload()
{
    m_server->setReply("/p.png", ScriptedReply::picture(skinfixture::png(Qt::red), "image/png"));
    RemoteLoader original;
    QCOMPARE(original.WriteProperties(), QVariantMap()); // defaults are not stored
    QSignalSpy done(&original, &RemoteLoader::loadComplete);
    original.setStretch(true);
    original.setUrl(m_server->baseUrl() + "/p.png");
    QTRY_COMPARE(done.count(), 1);
    const QVariantMap stored = original.WriteProperties();
    QCOMPARE(stored.keys(), (QStringList{"Picture", "Stretch", "url"}));

    RemoteLoader restored;
    QSignalSpy restoredDone(&restored, &RemoteLoader::loadComplete);
    restored.ReadProperties(stored);
    QCOMPARE(restored.url(), m_server->baseUrl() + "/p.png");
    QVERIFY(restored.Stretch());
    QCOMPARE(restored.Picture().toImage().pixelColor(0, 0), QColor(Qt::red));
    QTest::qWait(testsupport::patient(200));
    QCOMPARE(restoredDone.count(), 0);
    QCOMPARE(m_server->requestCount(), 1);
}

QTEST_MAIN(TestRemoteLoader)
#include "tst_remoteloader.moc"
