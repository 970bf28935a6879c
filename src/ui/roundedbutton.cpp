#include "roundedbutton.h"

#include "palette.h"

#include <QPainter>

#include <algorithm>

namespace ui {

RoundedButton::RoundedButton(QWidget *parent)
    : FlatButton(parent), m_fillColor(palette::kButtonFill), m_hoverColor(palette::kButtonHover),
      m_disabledColor(palette::kButtonDisabled)
{}

RoundedButton::RoundedButton(const QRect &frame, QWidget *parent) : RoundedButton(parent)
{
    setGeometry(frame);
}

void RoundedButton::setCornerRadius(double radius)
{
    m_cornerRadius = radius;
    update();
}

void RoundedButton::setFillColor(const QColor &color)
{
    m_fillColor = color;
    update();
}

void RoundedButton::setHoverColor(const QColor &color)
{
    m_hoverColor = color;
    update();
}

void RoundedButton::setDisabledColor(const QColor &color)
{
    m_disabledColor = color;
    update();
}

void RoundedButton::setFontSize(double size)
{
    m_fontSize = size;
    update();
}

QColor RoundedButton::faceColor() const
{
    if (!isEnabled())
        return m_disabledColor;
    return hover() ? m_hoverColor : m_fillColor;
}

double RoundedButton::effectiveRadius() const
{
    return m_cornerRadius > 0 ? m_cornerRadius : height() * 0.5;
}

// No pressed look: the face shows only the enabled and hover states.
void RoundedButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    const double r = effectiveRadius();
    p.setPen(Qt::NoPen);
    p.setBrush(faceColor());
    p.drawRoundedRect(bounds, r, r);

    if (showsFocusRing()) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(palette::kButtonFocusRing, 1.5));
        const QRectF ring = bounds.adjusted(3, 3, -3, -3);
        const double rr = std::max(0.0, r - 3);
        p.drawRoundedRect(ring, rr, rr);
    }

    QFont f = font();
    f.setPixelSize(qRound(m_fontSize));
    f.setBold(false);
    f.setWeight(QFont::Normal);
    p.setFont(f);
    p.setPen(palette::kButtonTitle);
    const double textHeight = QFontMetricsF(f).height();
    const QRectF textRect(0, (bounds.height() - textHeight) * 0.5, bounds.width(), textHeight);
    p.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, text());
}

// Only an enabled button asks for the pointing hand; leaving always gives the arrow back.
void RoundedButton::enterEvent(QEnterEvent *event)
{
    if (isEnabled())
        setCursor(Qt::PointingHandCursor);
    FlatButton::enterEvent(event);
}

void RoundedButton::leaveEvent(QEvent *event)
{
    setCursor(Qt::ArrowCursor);
    FlatButton::leaveEvent(event);
}

} // namespace ui
