#include "SessionArt.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace client {

namespace {

constexpr int kSize = 32;

// An icon painted by `paint` on a clear, antialiased square.
template <typename Paint>
QIcon painted(Paint paint)
{
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    {
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        paint(p);
    }
    return QIcon(pixmap);
}

QIcon bell(const QColor &body, const QColor &outline, bool ringing)
{
    return painted([&](QPainter &p) {
        QPainterPath path;
        path.moveTo(6, 24);
        path.cubicTo(9, 20, 9, 16, 9, 13);
        path.cubicTo(9, 7, 12, 4, 16, 4);
        path.cubicTo(20, 4, 23, 7, 23, 13);
        path.cubicTo(23, 16, 23, 20, 26, 24);
        path.closeSubpath();
        p.setPen(QPen(outline, 2));
        p.setBrush(body);
        p.drawPath(path);
        p.drawEllipse(QPointF(16, 27), 3, 3);
        if (ringing) {
            p.setPen(QPen(outline, 2, Qt::SolidLine, Qt::RoundCap));
            p.drawArc(QRectF(1, 6, 8, 12), 100 * 16, 160 * 16);
            p.drawArc(QRectF(23, 6, 8, 12), -80 * 16, 160 * 16);
        }
    });
}

QIcon globe()
{
    return painted([](QPainter &p) {
        p.setPen(QPen(QColor(20, 80, 160), 2));
        p.setBrush(QColor(120, 180, 240));
        p.drawEllipse(QRectF(3, 3, 26, 26));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(10, 3, 12, 26));
        p.drawLine(QPointF(3, 16), QPointF(29, 16));
        p.drawLine(QPointF(16, 3), QPointF(16, 29));
    });
}

QIcon envelope()
{
    return painted([](QPainter &p) {
        p.setPen(QPen(QColor(90, 70, 30), 2));
        p.setBrush(QColor(250, 230, 170));
        p.drawRect(QRectF(3, 8, 26, 17));
        p.drawPolyline(QPolygonF({QPointF(3, 8), QPointF(16, 19), QPointF(29, 8)}));
    });
}

QIcon lettered(const QColor &fill, const QString &letter)
{
    return painted([&](QPainter &p) {
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawEllipse(QRectF(2, 2, 28, 28));
        QFont font = p.font();
        font.setBold(true);
        font.setPixelSize(20);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRect(0, 0, kSize, kSize), Qt::AlignCenter, letter);
    });
}

QIcon person()
{
    return painted([](QPainter &p) {
        p.setPen(QPen(QColor(40, 90, 40), 2));
        p.setBrush(QColor(130, 200, 120));
        p.drawEllipse(QRectF(10, 3, 12, 12));
        QPainterPath shoulders;
        shoulders.moveTo(4, 29);
        shoulders.cubicTo(4, 19, 28, 19, 28, 29);
        shoulders.closeSubpath();
        p.drawPath(shoulders);
    });
}

} // namespace

QIcon blinkFrameImage1()
{
    return bell(QColor(150, 150, 150), QColor(60, 60, 60), false);
}

QIcon blinkFrameImage2()
{
    return bell(QColor(255, 200, 0), QColor(200, 30, 30), true);
}

QHash<int, QIcon> menuImageList()
{
    QHash<int, QIcon> list;
    list.insert(1003, globe());
    list.insert(1009, lettered(QColor(30, 110, 200), QStringLiteral("i")));
    list.insert(1010, lettered(QColor(200, 120, 20), QStringLiteral("?")));
    list.insert(1004, envelope());
    list.insert(1002, person());
    return list;
}

} // namespace client
