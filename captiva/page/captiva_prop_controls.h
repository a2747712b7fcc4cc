// The controls of the text overlay property page, one id each. Every control's objectName is its id
// in decimal, so tests and screenshots find it by the same number.
#pragma once

namespace captiva_page {

constexpr int IDC_OVERLAY_TYPE = 1001; // drop-down list "None", "Static", "System Time"
constexpr int IDC_BY_COVER = 1002;     // radio "By Cover": paint in colour
constexpr int IDC_BY_REVERSE = 1003;   // radio "By Reverse": invert
constexpr int IDC_TEXT0 = 1010;        // text of row i: IDC_TEXT0 + i (rows 0 … 3)
constexpr int IDC_X0 = 1020;           // X of row i: IDC_X0 + i
constexpr int IDC_Y0 = 1030;           // Y of row i: IDC_Y0 + i
constexpr int IDC_RED = 1040;
constexpr int IDC_GREEN = 1041;
constexpr int IDC_BLUE = 1042;
constexpr int IDC_START = 1050; // duration start, seconds
constexpr int IDC_END = 1051;   // duration end, seconds
constexpr int IDC_FONT = 1060;  // button "Font..."

constexpr int kPageRows = 4; // items 0 … 3 of the filter's five

} // namespace captiva_page
