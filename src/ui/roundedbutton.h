#pragma once

#include <QColor>
#include <QWidget>

// Capsule-shaped push button with a white centred title and its own face colours for the
// normal, hovered and disabled states. A click is a left press and release both inside the
// button while it is enabled; a disabled button ignores the press. Enter or Space clicks it
// when it has keyboard focus.
class RoundedButton : public QWidget
{
    Q_OBJECT

public:
    explicit RoundedButton(QWidget *parent = nullptr);
    RoundedButton(const QRect &frame, QWidget *parent);

    QString title() const { return m_title; }
    void setTitle(const QString &title);
    double cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(double radius);
    QColor fillColor() const { return m_fillColor; }
    void setFillColor(const QColor &color);
    QColor hoverColor() const { return m_hoverColor; }
    void setHoverColor(const QColor &color);
    QColor disabledColor() const { return m_disabledColor; }
    void setDisabledColor(const QColor &color);
    double fontSize() const { return m_fontSize; }
    void setFontSize(double size);
    bool hover() const { return m_hover; }

    // Colour the face is painted in right now, and the radius in use (0 or less: a capsule).
    QColor faceColor() const;
    double effectiveRadius() const;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    bool m_hover = false;
    bool m_pressed = false;
    bool m_keyboardFocus = false;
    QString m_title;
    double m_cornerRadius = 0.0;
    QColor m_fillColor{243, 86, 39};
    QColor m_hoverColor{217, 69, 32};
    QColor m_disabledColor{207, 207, 207};
    double m_fontSize = 15.0;
};
