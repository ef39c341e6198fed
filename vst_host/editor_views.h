#pragma once

// The layout and text rules of the parameter views an effect item builds when it shows no
// editor of its own: the selector view (a combo box of parameter names, a track bar and a
// value label) and the list view (one row per parameter: name, scroll bar, value).
#include <cstdint>
#include <string>

namespace editor_views {

// List view rows.
constexpr int32_t kRowHeight = 16;
constexpr int32_t kFirstRowTop = 2;
constexpr int32_t kNameLeft = 2;
// The value label sits this far from the right edge and is this wide.
constexpr int32_t kValueRightOffset = 72;
constexpr int32_t kValueWidth = 65;
constexpr int32_t kScrollMaximum = 1000;
constexpr int32_t kScrollPage = 10;
constexpr int32_t kTrackMaximum = 100;
// The first tab position a view's controls take: the caller's own controls come first.
constexpr int32_t kFirstTabOrder = 3;

// The client height of a list view of `rows` parameters.
constexpr int32_t ListViewHeight(int32_t rows) {
  return kRowHeight * rows + 4;
}
constexpr int32_t RowTop(int32_t row) {
  return kRowHeight * row + kFirstRowTop;
}

// The client size of the item's own window before a view or an editor sizes it.
constexpr int32_t kOwnWindowWidth = 360;
constexpr int32_t kOwnWindowHeight = 88;

// What a value label shows for the effect's display text and unit. Display and unit
// together when they fit in 8 characters; otherwise a decimal display loses its trailing
// zeros but one, and the unit is left out when display and unit would still take more
// than 9 characters.
std::string ValueCaption(std::string display, const std::string& unit);

// Width in pixels of a single line of text in the views' font (Tahoma, 11 pixels high).
int32_t TextWidth(const std::string& text);

// A parameter value (0 to 1 by the interface, but it is the effect's word) as a position
// of a control with range 0 to `maximum`: nearest, halves to even, out-of-range clamped.
int32_t PositionOf(float value, int32_t maximum);

}  // namespace editor_views
