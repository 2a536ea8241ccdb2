#include "UserIcons.h"

#include <QPainter>
#include <QPainterPath>

namespace kestrup::UserIcons {

namespace {

// A picture painted by `paint` on a clear, antialiased square.
template <typename Paint>
QPixmap painted(Paint paint)
{
    QPixmap pixmap(kSize, kSize);
    pixmap.fill(Qt::transparent);
    {
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        paint(p);
    }
    return pixmap;
}

void drawFigure(QPainter &p)
{
    p.setPen(QPen(QColor(30, 60, 110), 1));
    p.setBrush(QColor(70, 120, 190));
    p.drawEllipse(QRectF(3.5, 1.5, 6, 6));
    QPainterPath body;
    body.moveTo(1, 16);
    body.cubicTo(1, 9, 12, 9, 12, 16);
    body.closeSubpath();
    p.drawPath(body);
}

} // namespace

QPixmap addUser()
{
    return painted([](QPainter &p) {
        drawFigure(p);
        p.setPen(QPen(QColor(20, 140, 40), 3, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(QPointF(14, 7), QPointF(14, 15));
        p.drawLine(QPointF(10, 11), QPointF(18, 11));
    });
}

QPixmap emailUsers()
{
    return painted([](QPainter &p) {
        const QRectF envelope(1.5, 4.5, 15, 10);
        p.setPen(QPen(QColor(120, 90, 30), 1));
        p.setBrush(QColor(250, 235, 180));
        p.drawRect(envelope);
        p.drawLine(envelope.topLeft(), QPointF(9, 10.5));
        p.drawLine(envelope.topRight(), QPointF(9, 10.5));
    });
}

QPixmap removeUser()
{
    return painted([](QPainter &p) {
        drawFigure(p);
        p.setPen(QPen(QColor(200, 30, 30), 2.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(11, 8), QPointF(17, 14));
        p.drawLine(QPointF(17, 8), QPointF(11, 14));
    });
}

QPixmap editUser()
{
    return painted([](QPainter &p) {
        p.setPen(QPen(QColor(110, 110, 110), 1));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(1.5, 1.5, 11, 15));
        p.setPen(QPen(QColor(170, 170, 170), 1));
        for (int y = 5; y <= 13; y += 3)
            p.drawLine(QPointF(3.5, y + 0.5), QPointF(10.5, y + 0.5));
        // The pencil, lying from the lower left to the upper right.
        p.translate(10, 10);
        p.rotate(-45);
        p.setPen(QPen(QColor(90, 60, 10), 1));
        p.setBrush(QColor(240, 180, 40));
        p.drawRect(QRectF(-5, -1.5, 9, 3));
        p.setBrush(QColor(240, 210, 170));
        QPainterPath tip;
        tip.moveTo(-5, -1.5);
        tip.lineTo(-8, 0);
        tip.lineTo(-5, 1.5);
        tip.closeSubpath();
        p.drawPath(tip);
    });
}

} // namespace kestrup::UserIcons
