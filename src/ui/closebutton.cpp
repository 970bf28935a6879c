#include "closebutton.h"

#include "palette.h"

#include <QPainter>

namespace ui {

CloseButton::CloseButton(QWidget *parent) : FlatButton(parent)
{
    setFocusPolicy(Qt::NoFocus); // Alt+F4 is the keyboard's way to close
    setAccessibleName(QStringLiteral("Close"));
    connect(this, &QAbstractButton::clicked, this, [this] { window()->close(); });
}

void CloseButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF circle = QRectF(rect()).adjusted(1, 1, -1, -1);
    p.setPen(QPen(palette::kCloseRim, 0.8));
    p.setBrush(palette::kCloseFace);
    p.drawEllipse(circle);
    if (hover() || isDown()) {
        p.setPen(QPen(palette::kCloseCross, 1.3, Qt::SolidLine, Qt::RoundCap));
        const QPointF c = circle.center();
        const double d = circle.width() * 0.2;
        p.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
        p.drawLine(c + QPointF(-d, d), c + QPointF(d, -d));
    }
}

} // namespace ui
