#pragma once

#include <windows.h>

namespace gui {

// The user's colour scheme as far as the main window uses it.
struct ColorScheme {
    bool highContrast = false;
    COLORREF window = RGB(255, 255, 255);
    COLORREF windowText = RGB(0, 0, 0);
    COLORREF highlight = RGB(0, 120, 215);
};

// The colours the main window paints with.
struct WindowColors {
    COLORREF text;
    COLORREF error;
    COLORREF bar;
    COLORREF barBackground;
};

// The product's colours wherever they contrast with the window colour by at least 3:1
// (relative luminance); otherwise the scheme's window text. With high contrast on, the
// scheme's colours only: window text, and the bar in the highlight colour on the window colour.
WindowColors ChooseColors(const ColorScheme& scheme) noexcept;

// The scheme the system gives now (GetSysColor, SPI_GETHIGHCONTRAST).
ColorScheme CurrentColorScheme() noexcept;

} // namespace gui
