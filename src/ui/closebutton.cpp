#include "closebutton.h"

#include "accessibility.h"

#include <QMouseEvent>
#include <QPainter>

CloseButton::CloseButton(QWidget *parent) : QWidget(parent)
{
    ui::installAccessibility();
    setFocusPolicy(Qt::NoFocus); // Alt+F4 is the keyboard's way to close
    setAccessibleName(QStringLiteral("Close"));
}

void CloseButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF circle = QRectF(rect()).adjusted(1, 1, -1, -1);
    p.setPen(QPen(QColor(224, 68, 62), 0.8));
    p.setBrush(QColor(255, 95, 87));
    p.drawEllipse(circle);
    if (m_hover || m_pressed) {
        p.setPen(QPen(QColor(77, 0, 0), 1.3, Qt::SolidLine, Qt::RoundCap));
        const QPointF c = circle.center();
        const double d = circle.width() * 0.2;
        p.drawLine(c + QPointF(-d, -d), c + QPointF(d, d));
        p.drawLine(c + QPointF(-d, d), c + QPointF(d, -d));
    }
}

void CloseButton::enterEvent(QEnterEvent *event)
{
    m_hover = true;
    update();
    QWidget::enterEvent(event);
}

void CloseButton::leaveEvent(QEvent *event)
{
    m_hover = false;
    update();
    QWidget::leaveEvent(event);
}

void CloseButton::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    m_pressed = event->button() == Qt::LeftButton;
    update();
}

void CloseButton::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
    const bool wasPressed = m_pressed;
    m_pressed = false;
    update();
    if (wasPressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        window()->close();
}
