#pragma once

#include "flatbutton.h"

namespace ui {

// The window's own close button, drawn in the top-left corner of the frameless window: a small
// round button that shows its cross while the pointer is over it or it is held down. A click
// closes the window through QWidget::close(), so it passes the same close decision as Alt+F4.
class CloseButton : public FlatButton
{
    Q_OBJECT

public:
    explicit CloseButton(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace ui
