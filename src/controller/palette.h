#pragma once

#include <QColor>

// The window's colours and the progress bar's scale, shared by the screen builders and the flow.
namespace palette {

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

} // namespace palette

// The bar runs in tenths of a percent.
constexpr int kProgressMax = 1000;
