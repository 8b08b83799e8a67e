#pragma once

// Reads back what a window shows, for pixel checks in the window tests.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wintest {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels; // 0x00RRGGBB, top row first

    COLORREF At(int x, int y) const
    {
        const std::uint32_t p = pixels[static_cast<size_t>(y) * width + x];
        return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
};

// The client area of `window` (whole window with its frame when `withFrame`).
Image Capture(HWND window, bool withFrame = false);

// Writes the image as a 24-bit BMP.
bool SaveBmp(const Image& image, const std::wstring& path);

// Dispatches the thread's messages for `milliseconds`.
void PumpFor(int milliseconds);

} // namespace wintest
