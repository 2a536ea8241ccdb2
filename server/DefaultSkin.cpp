#include "DefaultSkin.h"

#include "PictureWriters.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>

namespace alertserver {

namespace {

// The window is 320 x 300 pixels (4800 x 4500 twips), tall enough for the
// whole login form; the browser box leaves a 6-pixel frame and a 36-pixel
// title band for the two buttons.
constexpr int kWidth = 320;
constexpr int kHeight = 300;
constexpr int kButton = 18;
constexpr int kTwips = 15;

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
    const int w = kWidth - 12;
    const int h = kHeight - 42;
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

bool save(const QString &path, const QByteArray &bytes)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(bytes);
    return f.commit();
}

bool saveImage(const QString &path, const QImage &img, const char *format)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || !img.save(&f, format))
        return false;
    return f.commit();
}

} // namespace

bool writeDefaultSkin(const QString &folder)
{
    QDir dir(folder);
    if (dir.exists(QStringLiteral("skin.ini")))
        return true;
    if (!QDir().mkpath(folder))
        return false;
    bool ok = save(dir.filePath(QStringLiteral("close.gif")), encodeGif(closeButton()));
    ok = ok && save(dir.filePath(QStringLiteral("menu.gif")), encodeGif(menuButton()));
    ok = ok && saveImage(dir.filePath(QStringLiteral("background.bmp")), windowBackground(), "BMP");
    ok = ok && save(dir.filePath(QStringLiteral("icon.ico")), encodeIco({icon(32), icon(16)}));
    ok = ok && saveImage(dir.filePath(QStringLiteral("pagebg.png")), pageBackground(), "PNG");
    if (!ok)
        return false;

    const int closeLeft = kWidth - 6 - kButton;
    const int menuLeft = closeLeft - 6 - kButton;
    const QString ini = QStringLiteral(
                            "; Skin 1, the alert server's own look. Sizes and positions in twips (15 to a pixel).\n"
                            "[skin]\n"
                            "close=close.gif\nmenu=menu.gif\nbackground=background.bmp\nicon=icon.ico\n"
                            "pagebackground=pagebg.png\n"
                            "width=%1\nheight=%2\n"
                            "closeLeft=%3\ncloseTop=%4\nmenuLeft=%5\nmenuTop=%4\n"
                            "browserLeft=%6\nbrowserTop=%7\nbrowserWidth=%8\nbrowserHeight=%9\n"
                            "tooltip=Vantorel alerts\n")
                            .arg(kWidth * kTwips)
                            .arg(kHeight * kTwips)
                            .arg(closeLeft * kTwips)
                            .arg(9 * kTwips)
                            .arg(menuLeft * kTwips)
                            .arg(6 * kTwips)
                            .arg(36 * kTwips)
                            .arg((kWidth - 12) * kTwips)
                            .arg((kHeight - 42) * kTwips);
    return save(dir.filePath(QStringLiteral("skin.ini")), ini.toUtf8());
}

} // namespace alertserver
