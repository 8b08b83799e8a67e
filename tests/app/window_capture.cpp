#include "window_capture.h"

#include <filesystem>
#include <fstream>

namespace wintest {

Image Capture(HWND window, bool withFrame)
{
    Image image;
    RECT rect{};
    if (withFrame) {
        ::GetWindowRect(window, &rect);
        ::OffsetRect(&rect, -rect.left, -rect.top);
    } else {
        ::GetClientRect(window, &rect);
    }
    image.width = rect.right;
    image.height = rect.bottom;
    if (image.width <= 0 || image.height <= 0)
        return image;

    const HDC source = withFrame ? ::GetWindowDC(window) : ::GetDC(window);
    const HDC memory = ::CreateCompatibleDC(source);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = image.width;
    info.bmiHeader.biHeight = -image.height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    const HGDIOBJ previous = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, image.width, image.height, source, 0, 0, SRCCOPY);
    ::GdiFlush();
    const auto* data = static_cast<const std::uint32_t*>(bits);
    image.pixels.assign(data, data + static_cast<size_t>(image.width) * image.height);
    for (auto& p : image.pixels)
        p &= 0x00FFFFFF;
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(window, source);
    return image;
}

bool SaveBmp(const Image& image, const std::wstring& path)
{
    const int rowSize = (image.width * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = image.width;
    header.biHeight = image.height; // bottom-up
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(rowSize * image.height);
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + header.biSizeImage;

    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof(file));
    out.write(reinterpret_cast<const char*>(&header), sizeof(header));
    std::vector<char> row(static_cast<size_t>(rowSize), 0);
    for (int y = image.height - 1; y >= 0; --y) {
        for (int x = 0; x < image.width; ++x) {
            const std::uint32_t p = image.pixels[static_cast<size_t>(y) * image.width + x];
            row[static_cast<size_t>(x) * 3] = static_cast<char>(p & 0xFF);
            row[static_cast<size_t>(x) * 3 + 1] = static_cast<char>((p >> 8) & 0xFF);
            row[static_cast<size_t>(x) * 3 + 2] = static_cast<char>((p >> 16) & 0xFF);
        }
        out.write(row.data(), rowSize);
    }
    return static_cast<bool>(out);
}

void PumpFor(int milliseconds)
{
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    MSG message;
    while (::GetTickCount64() < end) {
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&message);
        ::Sleep(10);
    }
}

} // namespace wintest
