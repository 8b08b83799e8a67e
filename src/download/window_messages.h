#pragma once

#include <windows.h>

namespace gui {

// Posted by the download coordinator to the main window, always with wParam 0 and lParam 0.
constexpr UINT WM_DOWNLOAD_FINISHED = WM_USER;
constexpr UINT WM_DOWNLOAD_PROGRESS = WM_USER + 1;
constexpr UINT WM_DOWNLOAD_STOPPED = WM_USER + 2;

} // namespace gui
