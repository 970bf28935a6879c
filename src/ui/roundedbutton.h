#pragma once

#include "flatbutton.h"

#include <QColor>

namespace ui {

// Capsule-shaped push button with a white centred title and its own face colours for the
// normal, hovered and disabled states. The title is the button's text.
class RoundedButton : public FlatButton
{
    Q_OBJECT

public:
    explicit RoundedButton(QWidget *parent = nullptr);
    RoundedButton(const QRect &frame, QWidget *parent);

    QString title() const { return text(); }
    void setTitle(const QString &title) { setText(title); }
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

    // Colour the face is painted in right now, and the radius in use (0 or less: a capsule).
    QColor faceColor() const;
    double effectiveRadius() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    double m_cornerRadius = 0.0;
    QColor m_fillColor;
    QColor m_hoverColor;
    QColor m_disabledColor;
    double m_fontSize = 15.0;
};

} // namespace ui
