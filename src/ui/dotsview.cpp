#include "dotsview.h"

#include "accessibility.h"
#include "palette.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace ui {

DotsView::DotsView(QWidget *parent) : QWidget(parent)
{
    ui::installAccessibility();
    setFocusPolicy(Qt::TabFocus);
}

void DotsView::setActiveIndex(qint64 index)
{
    m_activeIndex = index;
    update();
}

double DotsView::firstDotX(double width, qint64 count)
{
    const double total = count * kDiameter + (count - 1) * (kStep - kDiameter);
    return (width - total) * 0.5;
}

std::optional<qint64> DotsView::dotIndexAt(double x, double width, qint64 count)
{
    if (count <= 0)
        return std::nullopt;
    const double offset = (x - firstDotX(width, count)) / kStep;
    // Truncation toward zero: a click just left of the first dot (offset in (-1, 0)) still
    // counts as dot 0, as the band rule gives.
    const qint64 index = static_cast<qint64>(std::trunc(offset));
    if (index < 0 || index >= count)
        return std::nullopt;
    return index;
}

void DotsView::paintEvent(QPaintEvent *)
{
    if (m_count <= 0)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    const double x0 = firstDotX(width(), m_count);
    const double y = (height() - kDiameter) * 0.5;
    for (qint64 i = 0; i < m_count; ++i) {
        p.setBrush(i == m_activeIndex ? palette::kAccent : palette::kDotInactive);
        p.drawEllipse(QRectF(x0 + i * kStep, y, kDiameter, kDiameter));
    }
    if (hasFocus()) {
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(palette::kAccent, 1.0, Qt::DotLine));
        p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }
}

void DotsView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    if (const auto index = dotIndexAt(event->position().x(), width(), m_count))
        emit selected(*index);
}

void DotsView::keyPressEvent(QKeyEvent *event)
{
    if (m_count <= 0) {
        QWidget::keyPressEvent(event);
        return;
    }
    const qint64 current = std::clamp<qint64>(m_activeIndex, 0, m_count - 1);
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
        emit selected((current + m_count - 1) % m_count);
        break;
    case Qt::Key_Right:
    case Qt::Key_Down:
        emit selected((current + 1) % m_count);
        break;
    case Qt::Key_Home:
        emit selected(0);
        break;
    case Qt::Key_End:
        emit selected(m_count - 1);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

} // namespace ui
