#pragma once

#include <QColor>

// Every colour of the window in one place: the screens' colours and the controls' own.
namespace ui::palette {

inline const QColor kBackground(245, 245, 245);
inline const QColor kBrandText(59, 54, 99);
inline const QColor kBodyText(51, 51, 51);
inline const QColor kDetailText(128, 128, 128);
inline const QColor kAccent(1, 155, 220);
inline const QColor kAccentHover(1, 129, 184);
inline const QColor kLinkText(62, 123, 250);
inline const QColor kPanelBackground(247, 249, 251);
inline const QColor kSlidePanel(220, 237, 251);
inline const QColor kSeparator(218, 220, 224);

// A RoundedButton that nobody has coloured: the orange of a plain call to action.
inline const QColor kButtonFill(243, 86, 39);
inline const QColor kButtonHover(217, 69, 32);
inline const QColor kButtonDisabled(207, 207, 207);
inline const QColor kButtonTitle(Qt::white);
inline const QColor kButtonFocusRing(255, 255, 255, 200);

inline const QColor kDotInactive(208, 208, 208);

inline const QColor kCloseFace(255, 95, 87);
inline const QColor kCloseRim(224, 68, 62);
inline const QColor kCloseCross(77, 0, 0);

} // namespace ui::palette

// The bar runs in tenths of a percent.
constexpr int kProgressMax = 1000;
