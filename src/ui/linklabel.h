#pragma once

#include <QLabel>

// A text label that reads and behaves as a hyperlink: pointing-hand cursor, a click anywhere in
// its frame (press and release inside) emits clicked(), and it can be reached with Tab and
// activated with Enter or Space.
class LinkLabel : public QLabel
{
    Q_OBJECT

public:
    explicit LinkLabel(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_pressed = false;
    bool m_keyboardFocus = false;
};
