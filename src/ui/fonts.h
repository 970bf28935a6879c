#pragma once

#include <QFont>

namespace ui {

// The interface font: a sans serif with Helvetica-like widths (the screens' fixed frames were
// laid out for those), else the system font; CJK glyphs come from the font fallback.
QFont interfaceFont();

// The interface font at a pixel size: the screens give their sizes in pixels, whatever the
// DPI setting makes of points.
QFont interfaceFont(double pixelSize, bool bold);

} // namespace ui
