#pragma once

#include <QColor>
#include <QWidget>

#include <optional>

namespace ui {

// Plain container panel: children are placed from its top-left corner (as every QWidget does),
// with an optional fill and an optional 1-pixel frame line drawn just inside its bounds.
class FlippedView : public QWidget
{
    Q_OBJECT

public:
    explicit FlippedView(QWidget *parent = nullptr);

    std::optional<QColor> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(const std::optional<QColor> &color);
    std::optional<QColor> borderColor() const { return m_borderColor; }
    void setBorderColor(const std::optional<QColor> &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::optional<QColor> m_backgroundColor;
    std::optional<QColor> m_borderColor;
};

} // namespace ui
