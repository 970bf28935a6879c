#include "flippedview.h"

#include <QPaintEvent>
#include <QPainter>

namespace ui {

FlippedView::FlippedView(QWidget *parent) : QWidget(parent) {}

void FlippedView::setBackgroundColor(const std::optional<QColor> &color)
{
    m_backgroundColor = color;
    update();
}

void FlippedView::setBorderColor(const std::optional<QColor> &color)
{
    m_borderColor = color;
    update();
}

void FlippedView::paintEvent(QPaintEvent *event)
{
    if (!m_backgroundColor && !m_borderColor)
        return;
    QPainter p(this);
    if (m_backgroundColor)
        p.fillRect(event->rect(), *m_backgroundColor);
    if (m_borderColor) {
        QPen pen(*m_borderColor, 1.0);
        pen.setJoinStyle(Qt::MiterJoin);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}

} // namespace ui
