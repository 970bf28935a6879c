#include "linklabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace ui {

LinkLabel::LinkLabel(QWidget *parent) : FlatButton(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void LinkLabel::setAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment;
    update();
}

QSize LinkLabel::sizeHint() const
{
    return fontMetrics().boundingRect(QRect(0, 0, 2000, 2000), int(m_alignment), text()).size();
}

void LinkLabel::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    QStyleOption opt;
    opt.initFrom(this);
    style()->drawItemText(&p, rect(), int(m_alignment), opt.palette, isEnabled(), text(),
                          QPalette::WindowText);
    if (!showsFocusRing())
        return;
    p.setPen(QPen(palette().color(QPalette::WindowText), 1.0, Qt::DotLine));
    p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}

} // namespace ui
