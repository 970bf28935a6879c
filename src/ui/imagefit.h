#pragma once

#include <QPixmap>
#include <QSize>

class QLabel;

namespace ui {

// The source scaled to fit the box (keeping its aspect ratio, up or down), rendered for the given
// device pixel ratio so a 2x display gets every pixel of the 2x artwork.
QPixmap fitPixmap(const QPixmap &source, const QSize &box, qreal devicePixelRatio);

// Shows the source in an image view (a QLabel) fitted to the view's size; a null source
// leaves the view empty.
void setImage(QLabel *view, const QPixmap &source);

} // namespace ui
