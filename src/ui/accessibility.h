#pragma once

namespace ui {

// Registers, once per process, the accessibility interfaces of the custom controls so screen
// readers see LinkLabel as a link, RoundedButton as a button and DotsView as a page list, each
// with a name and (for the first two) a press action.
void installAccessibility();

} // namespace ui
