#pragma once

#include <QWidget>

#include <optional>

namespace ui {

// The row of page dots under the slideshow: 8-pixel dots 16 pixels apart, centred in the view,
// the active one in the accent colour. A click (or Left/Right/Home/End with the keyboard) only
// reports the chosen index through selected(); the owner decides what becomes active.
class DotsView : public QWidget
{
    Q_OBJECT

public:
    static constexpr double kDiameter = 8.0;
    static constexpr double kStep = 16.0;

    explicit DotsView(QWidget *parent = nullptr);

    qint64 count() const { return m_count; }
    void setCount(qint64 count) { m_count = count; }
    qint64 activeIndex() const { return m_activeIndex; }
    void setActiveIndex(qint64 index);

    // Left edge of the first dot in a view of the given width.
    static double firstDotX(double width, qint64 count);
    // Which dot owns x: each dot owns the 16-pixel band from its left edge over the gap after it.
    static std::optional<qint64> dotIndexAt(double x, double width, qint64 count);

signals:
    void selected(qint64 index);

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    qint64 m_count = 0;
    qint64 m_activeIndex = 0;
};

} // namespace ui
