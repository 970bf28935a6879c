#include "flatbutton.h"

#include "accessibility.h"

#include <QKeyEvent>

namespace ui {

FlatButton::FlatButton(QWidget *parent) : QAbstractButton(parent)
{
    ui::installAccessibility();
    setFocusPolicy(Qt::StrongFocus);
}

// Qt sends Enter and Leave to a disabled widget too, so the hover colour is right as soon as
// the button is enabled again.
void FlatButton::enterEvent(QEnterEvent *event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void FlatButton::leaveEvent(QEvent *event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void FlatButton::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) {
        QAbstractButton::keyPressEvent(event);
        return;
    }
    event->accept();
    if (!event->isAutoRepeat())
        click();
}

// Only a Tab or Backtab shows the ring: a mouse user never sees one.
void FlatButton::focusInEvent(QFocusEvent *event)
{
    m_keyboardFocus =
        event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
    update();
}

void FlatButton::focusOutEvent(QFocusEvent *event)
{
    m_keyboardFocus = false;
    QAbstractButton::focusOutEvent(event);
    update();
}

} // namespace ui
