#include "roundedbutton.h"

#include "accessibility.h"

#include <QAccessible>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

RoundedButton::RoundedButton(QWidget *parent) : QWidget(parent)
{
    ui::installAccessibility();
    setFocusPolicy(Qt::StrongFocus);
}

RoundedButton::RoundedButton(const QRect &frame, QWidget *parent) : RoundedButton(parent)
{
    setGeometry(frame);
}

void RoundedButton::setTitle(const QString &title)
{
    m_title = title;
    update();
    QAccessibleEvent ev(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&ev);
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
    return m_hover ? m_hoverColor : m_fillColor;
}

double RoundedButton::effectiveRadius() const
{
    return m_cornerRadius > 0 ? m_cornerRadius : height() * 0.5;
}

void RoundedButton::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = rect();
    const double r = effectiveRadius();
    p.setPen(Qt::NoPen);
    p.setBrush(faceColor());
    p.drawRoundedRect(bounds, r, r);

    if (m_keyboardFocus && hasFocus()) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(255, 255, 255, 200), 1.5));
        const QRectF ring = bounds.adjusted(3, 3, -3, -3);
        const double rr = std::max(0.0, r - 3);
        p.drawRoundedRect(ring, rr, rr);
    }

    QFont f = font();
    f.setPixelSize(qRound(m_fontSize));
    f.setBold(false);
    f.setWeight(QFont::Normal);
    p.setFont(f);
    p.setPen(Qt::white);
    const double textHeight = QFontMetricsF(f).height();
    const QRectF textRect(0, (bounds.height() - textHeight) * 0.5, bounds.width(), textHeight);
    p.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, m_title);
}

// Hover follows the pointer whatever the enabled state, so the right colour shows as soon as the
// button is enabled again; only an enabled button asks for the pointing hand.
void RoundedButton::enterEvent(QEnterEvent *event)
{
    m_hover = true;
    update();
    if (isEnabled())
        setCursor(Qt::PointingHandCursor);
    QWidget::enterEvent(event);
}

void RoundedButton::leaveEvent(QEvent *event)
{
    m_hover = false;
    update();
    setCursor(Qt::ArrowCursor);
    QWidget::leaveEvent(event);
}

// A disabled widget never gets these events from Qt; the press of a disabled button is thus
// dropped before it gets here, and disabling in between clears the press (changeEvent).
void RoundedButton::mousePressEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() == Qt::LeftButton && isEnabled())
        m_pressed = true;
}

void RoundedButton::mouseReleaseEvent(QMouseEvent *event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    const bool wasPressed = m_pressed;
    m_pressed = false;
    if (wasPressed && isEnabled() && rect().contains(event->position().toPoint()))
        emit clicked();
}

void RoundedButton::keyPressEvent(QKeyEvent *event)
{
    if (!ui::isActivationKey(event)) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    if (isEnabled() && !event->isAutoRepeat())
        emit clicked();
}

void RoundedButton::focusInEvent(QFocusEvent *event)
{
    m_keyboardFocus = ui::isKeyboardFocus(event);
    QWidget::focusInEvent(event);
    update();
}

void RoundedButton::focusOutEvent(QFocusEvent *event)
{
    m_keyboardFocus = false;
    QWidget::focusOutEvent(event);
    update();
}

void RoundedButton::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::EnabledChange) {
        m_pressed = false;
        update();
    }
    QWidget::changeEvent(event);
}
