#pragma once

namespace ui {

// Registers, once per process, the accessibility interfaces of the custom controls so screen
// readers see LinkLabel as a link, RoundedButton and CloseButton as buttons and DotsView as a
// page list, each with a name and (the buttons) a press action.
void installAccessibility();

} // namespace ui
