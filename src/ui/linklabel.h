#pragma once

#include "flatbutton.h"

namespace ui {

// A text label that reads and behaves as a hyperlink: pointing-hand cursor, a click anywhere in
// its frame emits clicked(), and it can be reached with Tab and activated with Enter or Space.
// It draws its text as a plain label would; its creator gives it the link's font and colour.
class LinkLabel : public FlatButton
{
    Q_OBJECT

public:
    explicit LinkLabel(QWidget *parent = nullptr);

    Qt::Alignment alignment() const { return m_alignment; }
    void setAlignment(Qt::Alignment alignment);

    // The text's own size, as a label reports it, so adjustSize() wraps the link round its text.
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Qt::Alignment m_alignment = Qt::AlignLeft | Qt::AlignVCenter;
};

} // namespace ui
