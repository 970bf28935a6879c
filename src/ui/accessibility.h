#pragma once

#include <QFocusEvent>
#include <QKeyEvent>

namespace ui {

// Registers, once per process, the accessibility interfaces of the custom controls so screen
// readers see LinkLabel as a link, RoundedButton as a button and DotsView as a page list, each
// with a name and (for the first two) a press action.
void installAccessibility();

// The keys that press a focused link or button.
inline bool isActivationKey(const QKeyEvent *event)
{
    const int key = event->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
}

// Focus that came from the keyboard; only then is a focus ring drawn, so a mouse user never
// sees one.
inline bool isKeyboardFocus(const QFocusEvent *event)
{
    return event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
}

} // namespace ui
