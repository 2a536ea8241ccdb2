#include "client/startup/RemoteLoader.h"

#include "client/startup/PictureIntegrity.h"
#include "common/HttpExchange.h"

#include <QBuffer>
#include <QImageReader>
#include <QLabel>

namespace client {

RemoteLoader::RemoteLoader(QWidget *parent)
    : QWidget(parent)
    , Image1(new QLabel(this))
{
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setGeometry(rect());
}

bool RemoteLoader::Stretch() const
{
    return Image1->hasScaledContents();
}

void RemoteLoader::setStretch(bool New_Stretch)
{
    Image1->setScaledContents(New_Stretch);
    Image1->update();
}

QPixmap RemoteLoader::Picture() const
{
    return Image1->pixmap();
}

void RemoteLoader::setPicture(const QPixmap &New_Picture)
{
    Image1->setPixmap(New_Picture);
}

void RemoteLoader::setUrl(const QString &New_url)
{
    m_url = New_url;
    if (m_url.isEmpty())
        return;

    // One exchange per download, so that downloads of the same control never
    // cancel each other; each reports once and then goes away.
    auto *exchange = new common::HttpExchange(this);
    connect(exchange, &common::HttpExchange::finished, this, [this, exchange] {
        exchange->deleteLater();
        const common::HttpResult &result = exchange->result();
        const QImage image = result.ok ? decodePicture(result.body) : QImage();
        if (image.isNull()) {
            Q_EMIT loadComplete(false);
            return;
        }
        setPicture(QPixmap::fromImage(image));
        Q_EMIT loadComplete(true);
    });
    exchange->get(m_url);
    Q_EMIT downloadStarted(m_url);
}

QVariantMap RemoteLoader::WriteProperties() const
{
    QVariantMap stored;
    if (Stretch())
        stored.insert(QStringLiteral("Stretch"), true);
    if (!Picture().isNull())
        stored.insert(QStringLiteral("Picture"), Picture());
    if (!m_url.isEmpty())
        stored.insert(QStringLiteral("url"), m_url);
    return stored;
}

void RemoteLoader::ReadProperties(const QVariantMap &stored)
{
    Image1->setScaledContents(stored.value(QStringLiteral("Stretch"), false).toBool());
    setPicture(stored.value(QStringLiteral("Picture")).value<QPixmap>());
    m_url = stored.value(QStringLiteral("url")).toString();
}

QImage RemoteLoader::decodePicture(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    const QByteArray format = QImageReader::imageFormat(&buffer);
    static const QByteArrayList accepted = {"bmp", "gif", "ico", "png", "jpeg"};
    if (!accepted.contains(format) || !pictureIsWhole(bytes, format))
        return {};
    buffer.seek(0);
    QImageReader reader(&buffer, format);
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

void RemoteLoader::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Image1->setGeometry(contentsRect());
}

} // namespace client
