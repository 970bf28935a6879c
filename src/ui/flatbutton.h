#pragma once

#include <QAbstractButton>

namespace ui {

// Base of the installer's self-drawn buttons (RoundedButton, LinkLabel, CloseButton).
// QAbstractButton gives the click rule (a left press and release both inside while enabled,
// dropped when the button is disabled in between) and Space; this adds what the three share:
// Enter and Return click like Space, hover follows the pointer in any enabled state, and a
// focus ring is shown only when the focus came from the keyboard.
class FlatButton : public QAbstractButton
{
    Q_OBJECT

public:
    explicit FlatButton(QWidget *parent = nullptr);

    bool hover() const { return m_hover; }

protected:
    bool showsFocusRing() const { return m_keyboardFocus && hasFocus(); }

    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    bool m_hover = false;
    bool m_keyboardFocus = false;
};

} // namespace ui
