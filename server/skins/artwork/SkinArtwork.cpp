#include "server/skins/artwork/SkinArtwork.h"

#include "server/skins/DefaultSkin.h"
#include "server/skins/artwork/PictureWriters.h"

#include <QBuffer>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace alertserver::artwork {

namespace {

using namespace defaultskin;

const QColor kNavy(18, 42, 74);
const QColor kTeal(24, 110, 128);
const QColor kGold(240, 184, 48);

QImage closeButton()
{
    // No antialiasing: a GIF keeps a few exact colours.
    QImage img(kButton, kButton, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(196, 48, 40));
    p.drawRect(1, 1, kButton - 2, kButton - 2);
    p.setPen(QPen(Qt::white, 2));
    p.drawLine(5, 5, kButton - 6, kButton - 6);
    p.drawLine(kButton - 6, 5, 5, kButton - 6);
    return img;
}

QImage menuButton()
{
    QImage img(kButton, kButton, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setPen(Qt::NoPen);
    p.setBrush(kTeal.lighter(130));
    p.drawRect(1, 1, kButton - 2, kButton - 2);
    p.setBrush(Qt::white);
    for (int i = 0; i < 3; ++i)
        p.drawRect(4, 4 + i * 4, kButton - 8, 2);
    return img;
}

void drawBell(QPainter &p, const QRectF &box, const QColor &color)
{
    const qreal w = box.width();
    const qreal h = box.height();
    QPainterPath bell;
    bell.moveTo(box.left() + w * 0.5, box.top() + h * 0.08);
    bell.cubicTo(box.left() + w * 0.80, box.top() + h * 0.08, box.left() + w * 0.80, box.top() + h * 0.45,
                 box.left() + w * 0.86, box.top() + h * 0.72);
    bell.lineTo(box.left() + w * 0.95, box.top() + h * 0.80);
    bell.lineTo(box.left() + w * 0.05, box.top() + h * 0.80);
    bell.lineTo(box.left() + w * 0.14, box.top() + h * 0.72);
    bell.cubicTo(box.left() + w * 0.20, box.top() + h * 0.45, box.left() + w * 0.20, box.top() + h * 0.08,
                 box.left() + w * 0.5, box.top() + h * 0.08);
    p.setPen(QPen(color.darker(160), qMax(1.0, w / 24)));
    p.setBrush(color);
    p.drawPath(bell);
    p.drawEllipse(QPointF(box.left() + w * 0.5, box.top() + h * 0.88), w * 0.10, h * 0.09);
}

QImage windowBackground()
{
    QImage img(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient body(0, 0, 0, kHeight);
    body.setColorAt(0, kTeal);
    body.setColorAt(1, kNavy);
    p.fillRect(img.rect(), body);
    QLinearGradient band(0, 0, 0, 36);
    band.setColorAt(0, kTeal.lighter(140));
    band.setColorAt(1, kTeal);
    p.fillRect(0, 0, kWidth, 36, band);
    p.setPen(QPen(kNavy.darker(150), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(1, 1, kWidth - 2, kHeight - 2));
    drawBell(p, QRectF(8, 5, 26, 26), kGold);
    // A row of small dots as a quiet mark of the brand in the title band.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    for (int i = 0; i < 8; ++i)
        p.drawEllipse(QPointF(48 + i * 12, 18), 2.5, 2.5);
    return img;
}

QImage icon(int size)
{
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kTeal);
    p.drawEllipse(QRectF(0.5, 0.5, size - 1, size - 1));
    drawBell(p, QRectF(size * 0.18, size * 0.14, size * 0.64, size * 0.72), kGold);
    return img;
}

QImage pageBackground()
{
    const int w = kWidth - 2 * kFrame;
    const int h = kHeight - kTitleBand - kFrame;
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, w, h);
    g.setColorAt(0, QColor(236, 246, 248));
    g.setColorAt(1, QColor(206, 226, 236));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(QColor(255, 255, 255, 120), 1));
    for (int x = -h; x < w; x += 14)
        p.drawLine(x, h, x + h, 0);
    return img;
}

// The resolution the BMP and PNG files carry: what Qt gave a picture made
// without a screen when the skin was first drawn (100 dots per inch), now
// set, so that drawing under any screen gives the same bytes.
constexpr int kDotsPerMeter = 3937;

QByteArray encoded(QImage img, const char *format)
{
    img.setDotsPerMeterX(kDotsPerMeter);
    img.setDotsPerMeterY(kDotsPerMeter);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, format);
    return bytes;
}

} // namespace

QByteArray drawPicture(const QString &name)
{
    if (name == QLatin1String("close.gif"))
        return encodeGif(closeButton());
    if (name == QLatin1String("menu.gif"))
        return encodeGif(menuButton());
    if (name == QLatin1String("background.bmp"))
        return encoded(windowBackground(), "BMP");
    if (name == QLatin1String("icon.ico"))
        return encodeIco({icon(32), icon(16)});
    if (name == QLatin1String("pagebg.png"))
        return encoded(pageBackground(), "PNG");
    return {};
}

} // namespace alertserver::artwork
