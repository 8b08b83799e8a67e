#pragma once

#include <windows.h>

namespace gui {

// Posted by the download coordinator to the main window, with lParam 0. WM_DOWNLOAD_PROGRESS
// carries the whole percentage done, 0 to 100, in wParam; the others carry 0.
constexpr UINT WM_DOWNLOAD_FINISHED = WM_USER;
constexpr UINT WM_DOWNLOAD_PROGRESS = WM_USER + 1;
constexpr UINT WM_DOWNLOAD_STOPPED = WM_USER + 2;

} // namespace gui
