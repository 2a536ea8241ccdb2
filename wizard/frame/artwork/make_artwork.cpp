// Draws the wizard's pictures into PNG files: the side picture of the welcome
// and finished pages, the header of the registration and login pages, the
// quit dialog's icon and the eight loading frames. Run it once after a change
// and commit the files it writes:  make_artwork <output folder>
#include <QGuiApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

namespace {

const QColor kDeep(18, 52, 110);
const QColor kMid(40, 104, 178);
const QColor kLight(120, 186, 236);
const QColor kSignal(255, 176, 32);

// A stylised bell with radiating arcs: the "instant alert" motif.
void drawBell(QPainter &p, QPointF centre, qreal size, const QColor &body)
{
    QPainterPath bell;
    const qreal w = size, h = size * 1.05;
    bell.moveTo(centre.x() - w * 0.5, centre.y() + h * 0.35);
    bell.cubicTo(centre.x() - w * 0.38, centre.y() + h * 0.2, centre.x() - w * 0.42, centre.y() - h * 0.45,
                 centre.x(), centre.y() - h * 0.48);
    bell.cubicTo(centre.x() + w * 0.42, centre.y() - h * 0.45, centre.x() + w * 0.38, centre.y() + h * 0.2,
                 centre.x() + w * 0.5, centre.y() + h * 0.35);
    bell.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawPath(bell);
    p.drawEllipse(QPointF(centre.x(), centre.y() + h * 0.45), w * 0.11, w * 0.11);
    p.drawEllipse(QPointF(centre.x(), centre.y() - h * 0.52), w * 0.07, w * 0.07);
}

void drawWaves(QPainter &p, QPointF centre, qreal size, const QColor &colour)
{
    QPen pen(colour, qMax<qreal>(1.5, size * 0.06), Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    for (int i = 1; i <= 3; ++i) {
        const qreal r = size * (0.55 + 0.22 * i);
        const QRectF box(centre.x() - r, centre.y() - r, 2 * r, 2 * r);
        p.drawArc(box, 16 * 20, 16 * 40);
        p.drawArc(box, 16 * 120, 16 * 40);
    }
}

QImage sidePicture()
{
    QImage img(164, 314, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 0, img.height());
    bg.setColorAt(0, kDeep);
    bg.setColorAt(0.6, kMid);
    bg.setColorAt(1, kLight);
    p.fillRect(img.rect(), bg);
    // Soft diagonal bands.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 6; ++i) {
        QColor band(255, 255, 255, 14 + i * 3);
        p.setBrush(band);
        QPolygonF poly;
        const qreal y = 40 + i * 46;
        poly << QPointF(0, y) << QPointF(164, y - 70) << QPointF(164, y - 52) << QPointF(0, y + 18);
        p.drawPolygon(poly);
    }
    const QPointF centre(82, 118);
    QRadialGradient glow(centre, 70);
    glow.setColorAt(0, QColor(255, 255, 255, 90));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(glow);
    p.drawEllipse(centre, 70, 70);
    drawWaves(p, centre, 46, QColor(255, 255, 255, 200));
    drawBell(p, centre, 56, kSignal);
    // A row of small "users" along the bottom: the accounts the wizard manages.
    for (int i = 0; i < 4; ++i) {
        const QPointF c(34 + i * 32, 262);
        p.setBrush(QColor(255, 255, 255, 170));
        p.drawEllipse(c, 7, 7);
        p.drawRoundedRect(QRectF(c.x() - 11, c.y() + 9, 22, 16), 7, 7);
    }
    return img;
}

QImage headerPicture()
{
    QImage img(600, 56, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, img.width(), 0);
    bg.setColorAt(0, kDeep);
    bg.setColorAt(0.55, kMid);
    bg.setColorAt(1, kLight);
    p.fillRect(img.rect(), bg);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 16; ++i) {
        p.setBrush(QColor(255, 255, 255, 10 + (i % 3) * 8));
        p.drawEllipse(QPointF(150 + i * 30, 28 + (i % 2 ? 14 : -12)), 22, 22);
    }
    const QPointF centre(560, 30);
    drawWaves(p, centre, 14, QColor(255, 255, 255, 210));
    drawBell(p, centre, 20, kSignal);
    return img;
}

QImage alertIcon()
{
    QImage img(40, 40, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath tri;
    tri.moveTo(20, 3);
    tri.lineTo(38, 36);
    tri.lineTo(2, 36);
    tri.closeSubpath();
    p.setPen(QPen(QColor(150, 96, 0), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QLinearGradient fill(0, 3, 0, 36);
    fill.setColorAt(0, QColor(255, 214, 90));
    fill.setColorAt(1, kSignal);
    p.setBrush(fill);
    p.drawPath(tri);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 30, 10));
    p.drawRoundedRect(QRectF(18, 13, 4, 13), 2, 2);
    p.drawEllipse(QPointF(20, 30.5), 2.2, 2.2);
    return img;
}

// Eight dots on a ring; frame n lights dot n brightest with a fading tail,
// so the frames read as a turning wheel when shown in order.
QImage loadingFrame(int n)
{
    QImage img(50, 56, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(25, 25);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 8; ++i) {
        const qreal angle = qDegreesToRadians(-90.0 + i * 45.0);
        const QPointF dot(centre.x() + 16 * qCos(angle), centre.y() + 16 * qSin(angle));
        const int age = (n - i + 8) % 8; // 0 = the lit dot
        QColor c = age == 0 ? kSignal : kMid;
        c.setAlpha(age == 0 ? 255 : qMax(50, 230 - age * 32));
        p.setBrush(c);
        p.drawEllipse(dot, age == 0 ? 5.0 : 4.0 - age * 0.25, age == 0 ? 5.0 : 4.0 - age * 0.25);
    }
    // A progress tick under the wheel.
    p.setBrush(QColor(kDeep.red(), kDeep.green(), kDeep.blue(), 60));
    p.drawRoundedRect(QRectF(5, 49, 40, 5), 2.5, 2.5);
    p.setBrush(kMid);
    p.drawRoundedRect(QRectF(5 + n * 4.3, 49, 10, 5), 2.5, 2.5);
    return img;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(outDir);
    const QDir dir(outDir);
    bool ok = sidePicture().save(dir.filePath(QStringLiteral("side.png")));
    ok = headerPicture().save(dir.filePath(QStringLiteral("header.png"))) && ok;
    ok = alertIcon().save(dir.filePath(QStringLiteral("alerticon.png"))) && ok;
    for (int i = 0; i < 8; ++i)
        ok = loadingFrame(i).save(dir.filePath(QStringLiteral("loading%1.png").arg(i))) && ok;
    return ok ? 0 : 1;
}
