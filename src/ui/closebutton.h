#pragma once

#include <QWidget>

// The window's own close button, drawn in the top-left corner of the frameless window: a small
// round button that shows its cross while the pointer is over it. A click closes the window
// through QWidget::close(), so it passes the same close decision as Alt+F4.
class CloseButton : public QWidget
{
    Q_OBJECT

public:
    explicit CloseButton(QWidget *parent = nullptr);

    bool hover() const { return m_hover; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    bool m_hover = false;
    bool m_pressed = false;
};
