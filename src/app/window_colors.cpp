#include "app/window_colors.h"

#include <cmath>

namespace gui {
namespace {

constexpr COLORREF TextColor = RGB(0, 0, 0);
constexpr COLORREF ErrorColor = RGB(255, 0, 0);
constexpr COLORREF BarColor = RGB(26, 176, 119);
constexpr COLORREF BarBackgroundColor = RGB(230, 230, 230);

// 3:1 keeps today's look wherever it can be read; it is not the 4.5:1 that accessibility
// guidelines ask of text this size.
constexpr double MinimumContrast = 3.0;

double Linear(BYTE channel) noexcept
{
    const double c = channel / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Relative luminance as the accessibility guidelines (WCAG 2) define it.
double Luminance(COLORREF color) noexcept
{
    return 0.2126 * Linear(GetRValue(color)) + 0.7152 * Linear(GetGValue(color)) + 0.0722 * Linear(GetBValue(color));
}

double Contrast(COLORREF a, COLORREF b) noexcept
{
    const double la = Luminance(a), lb = Luminance(b);
    return la > lb ? (la + 0.05) / (lb + 0.05) : (lb + 0.05) / (la + 0.05);
}

COLORREF Legible(COLORREF wanted, const ColorScheme& scheme) noexcept
{
    return Contrast(wanted, scheme.window) >= MinimumContrast ? wanted : scheme.windowText;
}

} // namespace

WindowColors ChooseColors(const ColorScheme& scheme) noexcept
{
    if (scheme.highContrast)
        return {scheme.windowText, scheme.windowText, scheme.highlight, scheme.window};
    return {Legible(TextColor, scheme), Legible(ErrorColor, scheme), BarColor, BarBackgroundColor};
}

ColorScheme CurrentColorScheme() noexcept
{
    ColorScheme scheme;
    HIGHCONTRASTW highContrast{};
    highContrast.cbSize = sizeof(highContrast);
    scheme.highContrast = ::SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(highContrast), &highContrast, 0)
        && (highContrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
    scheme.window = ::GetSysColor(COLOR_WINDOW);
    scheme.windowText = ::GetSysColor(COLOR_WINDOWTEXT);
    scheme.highlight = ::GetSysColor(COLOR_HIGHLIGHT);
    return scheme;
}

} // namespace gui
