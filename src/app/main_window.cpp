#include "app/application.h"

#include "app/system_queries.h"
#include "app/window_colors.h"
#include "download/main_installer_downloader.h"
#include "download/window_messages.h"
#include "http/http_settings.h"
#include "sys/scope_guard.h"
#include "sys/system_error.h"
#include "sys/system_library.h"
#include "text/text_conversion.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <exception>

namespace gui {
namespace {

constexpr WORD IconResourceId = 101;

// Sizes at baseDpi: the window's outer size, the bar's margin, its distance from the client
// bottom and its height, and the text height.
constexpr int WindowWidth = 600;
constexpr int WindowHeight = 150;
constexpr int BarMargin = 10;
constexpr int BarBottomOffset = 20;
constexpr int BarHeight = 15;
constexpr int TextHeight = 16;
// Gap between the text and the bar, or above the text without a bar; not scaled.
constexpr int TextGap = 15;

// Declared here: the SDK headers for _WIN32_WINNT 0x0601 lack them.
constexpr UINT DpiChangedMessage = 0x02E0;
const HANDLE PerMonitorAwareV2 = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4));
constexpr int ProcessPerMonitorDpiAware = 2;

using SetProcessDpiAwarenessContextFn = BOOL(WINAPI*)(HANDLE);
using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int);
using SetProcessDpiAwareFn = BOOL(WINAPI*)();
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using SetWindowThemeFn = HRESULT(WINAPI*)(HWND, LPCWSTR, LPCWSTR);

using UniqueFont = sys::UniqueResource<HFONT, &::DeleteObject>;

// The Shcore call, guarded by the 6.3 test: ERROR_NOT_SUPPORTED before Windows 8.1, 1 when the
// library or the function is missing, else the function's own answer.
long SetPerMonitorDpiAwareness(HMODULE shcore)
{
    if (!sys::IsOsVersionAtLeast(3))
        return ERROR_NOT_SUPPORTED;
    const auto setAwareness = sys::FindExport<SetProcessDpiAwarenessFn>(shcore, "SetProcessDpiAwareness");
    if (!setAwareness)
        return 1;
    return setAwareness(ProcessPerMonitorDpiAware);
}

} // namespace

bool Application::RegisterWindowClass()
{
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (::GetClassInfoExW(instance, WindowClassName, &existing))
        return false;

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_VREDRAW | CS_HREDRAW;
    windowClass.lpfnWndProc = &Application::WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(IconResourceId));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = WindowClassName;
    if (::RegisterClassExW(&windowClass))
        classRegistered = true;
    return true;
}

bool Application::CreateMainWindow(int showCommand)
{
    if (!quiet)
        SetProcessDpiAwareness();

    // An overlapped window always gets a caption; WS_SYSMENU adds the close button only.
    const HWND created = quiet
        ? ::CreateWindowExW(0, WindowClassName, WindowClassName, WS_VISIBLE, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this)
        : ::CreateWindowExW(0, WindowClassName, WindowClassName, WS_VISIBLE | WS_SYSMENU | WS_OVERLAPPED, CW_USEDEFAULT,
              CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, this);
    window = created;
    if (!window)
        return false;

    if (!quiet)
        UpdateLayout(GetWindowDpi(window), SWP_NOZORDER);
    ::ShowWindow(window, quiet ? SW_HIDE : showCommand);
    return true;
}

LRESULT CALLBACK Application::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    if (auto* application = reinterpret_cast<Application*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
        return application->HandleMessage(hwnd, message, wParam, lParam);

    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        if (create && create->lpCreateParams) {
            auto* application = static_cast<Application*>(create->lpCreateParams);
            application->window = hwnd;
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(application));
        }
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT Application::HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    try {
        switch (message) {
        case WM_CREATE:
            OnCreate();
            break;
        case WM_DESTROY:
            accessible.reset();
            ::PostQuitMessage(0);
            break;
        case WM_NCDESTROY:
            // Nothing may reach this object through the handle from now on.
            ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            progressBar = nullptr;
            break;
        case WM_PAINT:
            Paint();
            break;
        case WM_GETOBJECT: {
            LRESULT answer = 0;
            if (accessible && accessible->Answer(wParam, lParam, answer))
                return answer;
            break;
        }
        case WM_SYSCOLORCHANGE:
            // The text takes the new colours at its next paint; the bar keeps those it was given.
            ApplyBarColors();
            break;
        case DpiChangedMessage:
            UpdateLayout(HIWORD(wParam), SWP_NOOWNERZORDER | SWP_NOMOVE);
            break;
        case WM_DOWNLOAD_PROGRESS:
            // Without a bar this goes to a null handle and does nothing.
            ::SendMessageW(progressBar, PBM_SETPOS, wParam, 0);
            break;
        case WM_DOWNLOAD_STOPPED:
            if (progressBar) {
                ::DestroyWindow(progressBar);
                progressBar = nullptr;
            }
            break;
        case WM_DOWNLOAD_FINISHED:
            if (downloader)
                HandleDownloadStage(downloader->GetErrorText().empty() ? DownloadStage::Succeeded : DownloadStage::Failed);
            break;
        default:
            break;
        }
    } catch (const std::exception& error) {
        RecordFailure(error.what());
    } catch (...) {
        RecordFailure("unknown error");
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

void Application::OnCreate()
{
    UpdateLayout(GetWindowDpi(window), SWP_NOOWNERZORDER);
    if (!quiet)
        accessible = std::make_unique<AccessibleStatus>(window, ShownText(), result == 1);
    if (result == 1)
        ShowError(statusText);
    else if (quiet)
        HandleDownloadStage(DownloadStage::Begin);
    else if (CreateProgressBar())
        HandleDownloadStage(DownloadStage::Begin);
    else
        ::PostQuitMessage(0);
}

void Application::Paint()
{
    if (quiet || !::GetUpdateRect(window, nullptr, FALSE))
        return;

    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(window, &paint);
    if (!dc)
        return;
    const auto endPaint = sys::ScopeGuard([&] { ::EndPaint(window, &paint); });

    RECT client{};
    ::GetClientRect(window, &client);
    RECT textRect = client;

    const std::wstring shown = ShownText();
    const WindowColors colors = ChooseColors(CurrentColorScheme());
    ::SetTextColor(dc, result == 1 ? colors.error : colors.text);
    ::SetBkMode(dc, TRANSPARENT);

    if (progressBar) {
        RECT bar{};
        ::GetWindowRect(progressBar, &bar);
        textRect.bottom = client.bottom - TextGap - (bar.bottom - bar.top);
    } else {
        textRect.top = client.top + TextGap;
    }

    LOGFONTW logFont{};
    const int dpi = GetWindowDpi(window);
    if (sys::SupportsPerWindowDpi())
        sys::GetIconTitleFontForDpi(User32(), logFont, static_cast<UINT>(dpi));
    else
        ::SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof(logFont), &logFont, 0);
    logFont.lfHeight = -::MulDiv(TextHeight, dpi, baseDpi);
    // Declared before the selection guard, so the font is deleted only once it is deselected.
    const UniqueFont font(::CreateFontIndirectW(&logFont));
    const HGDIOBJ previousFont = ::GetCurrentObject(dc, OBJ_FONT);
    if (font)
        ::SelectObject(dc, font.Get());
    const auto restoreFont = sys::ScopeGuard([&] { ::SelectObject(dc, previousFont); });

    RECT measured = textRect;
    if (::DrawTextW(dc, shown.c_str(), -1, &measured, DT_CALCRECT | DT_WORDBREAK | DT_VCENTER | DT_CENTER) != 0) {
        const int top = ((textRect.bottom - textRect.top) - (measured.bottom - measured.top)) / 2;
        textRect.top = top < 0 ? 0 : top;
    }
    ::DrawTextW(dc, shown.c_str(), -1, &textRect, DT_WORDBREAK | DT_VCENTER | DT_CENTER);
}

bool Application::CreateProgressBar()
{
    if (!window)
        return false;
    // No InitCommonControls: the class comes with Common Controls 6 through the manifest.
    progressBar = ::CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 0, 0, 0, 0, window,
        nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (!progressBar)
        return false;

    // A themed bar is drawn in the theme's colour and ignores PBM_SETBARCOLOR.
    RemoveVisualStyle(progressBar);
    ::SendMessageW(progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(progressBar, PBM_SETSTEP, 1, 0);
    ApplyBarColors();
    return true;
}

void Application::ApplyBarColors()
{
    if (!progressBar)
        return;
    const WindowColors colors = ChooseColors(CurrentColorScheme());
    ::SendMessageW(progressBar, PBM_SETBARCOLOR, 0, colors.bar);
    ::SendMessageW(progressBar, PBM_SETBKCOLOR, 0, colors.barBackground);
}

void Application::RemoveVisualStyle(HWND control)
{
    if (!uxtheme)
        uxtheme = sys::LoadSystemLibrary(L"uxtheme.dll");
    if (const auto setTheme = sys::FindExport<SetWindowThemeFn>(uxtheme.Get(), "SetWindowTheme"))
        setTheme(control, L" ", L" ");
}

void Application::UpdateLayout(int dpi, UINT flags)
{
    if (quiet)
        return;
    RECT workArea{};
    if (!::SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0))
        return;

    const int width = ScaleForDpi(WindowWidth, dpi);
    const int height = ScaleForDpi(WindowHeight, dpi);
    // Centred in the work area's extent; its left and top are not added back.
    const int x = (workArea.right - width - workArea.left) / 2;
    const int y = (workArea.bottom - height - workArea.top) / 2;
    ::SetWindowPos(window, HWND_TOPMOST, x, y, width, height, flags);

    if (progressBar) {
        RECT client{};
        ::GetClientRect(window, &client);
        const int margin = ScaleForDpi(BarMargin, dpi);
        ::SetWindowPos(progressBar, nullptr, margin, client.bottom - ScaleForDpi(BarBottomOffset, dpi),
            client.right - 2 * margin, ScaleForDpi(BarHeight, dpi), SWP_NOZORDER);
    }
}

int Application::ScaleForDpi(int value, int dpi) const
{
    const auto product = static_cast<std::uint32_t>(value) * static_cast<std::uint32_t>(dpi);
    return static_cast<int>(static_cast<float>(product) / static_cast<float>(baseDpi));
}

int Application::GetWindowDpi(HWND hwnd)
{
    if (!hwnd)
        return 96;
    if (sys::SupportsPerWindowDpi()) {
        const auto getDpi = sys::FindExport<GetDpiForWindowFn>(User32(), "GetDpiForWindow");
        const UINT dpi = getDpi ? getDpi(hwnd) : 0;
        return dpi != 0 ? static_cast<int>(dpi) : 96;
    }
    const HDC dc = ::GetDC(hwnd);
    if (!dc)
        return 96;
    const auto releaseDc = sys::ScopeGuard([&] { ::ReleaseDC(hwnd, dc); });
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSX);
    return dpi != 0 ? dpi : 96;
}

void Application::SetProcessDpiAwareness()
{
    // Each call may fail where the process is already DPI aware (as every Wine process is);
    // the answers do not matter.
    if (sys::SupportsDpiAwarenessContext()) {
        if (const auto setContext = sys::FindExport<SetProcessDpiAwarenessContextFn>(User32(), "SetProcessDpiAwarenessContext"))
            setContext(PerMonitorAwareV2);
    } else if (sys::IsOsVersionAtLeast(3)) {
        SetPerMonitorDpiAwareness(Shcore());
    } else if (sys::IsOsVersionAtLeast(0)) {
        if (const auto setAware = sys::FindExport<SetProcessDpiAwareFn>(User32(), "SetProcessDPIAware"))
            setAware();
    }
}

HMODULE Application::User32()
{
    if (!user32)
        user32 = ::GetModuleHandleW(L"user32.dll");
    return user32;
}

HMODULE Application::Shcore()
{
    if (!shcore)
        shcore = sys::LoadSystemLibrary(L"Shcore.dll");
    return shcore.Get();
}

void Application::HandleDownloadStage(DownloadStage stage)
{
    switch (stage) {
    case DownloadStage::Begin: {
        auto settings = std::make_shared<http::HttpSettings>();
        downloader = downloaderFactory ? downloaderFactory(window, settings)
                                       : std::make_unique<MainInstallerDownloader>(window, settings);
        if (downloader)
            downloader->Start();
        break;
    }
    case DownloadStage::Succeeded: {
        const std::wstring path = downloader->GetInstallerPath().wstring();
        sys::UniqueFile checked = downloader->TakeInstallerFile();
        installerProcess = StartInstaller(path, commandLine, checked);
        if (!installerProcess) {
            // A download that cannot be started is no success: say why, as the system puts it.
            const DWORD error = ::GetLastError();
            ShowError(L"The installer could not be started: " + sys::SystemErrorText(error, path));
            break;
        }
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        break;
    }
    case DownloadStage::Failed:
        ShowError(text::ToWide(downloader->GetErrorText()));
        break;
    }
}

std::wstring Application::ShownText() const
{
    return result == 1 ? errorText + L"\n" + statusText : statusText;
}

void Application::Announce() noexcept
{
    if (!accessible)
        return;
    try {
        accessible->Update(ShownText(), result == 1);
    } catch (...) {
        // Out of memory: the screen reader keeps the earlier text.
    }
}

void Application::ShowError(const std::wstring& text)
{
    statusText = text;
    result = 1;
    ::InvalidateRect(window, nullptr, TRUE);
    Announce();
    // A quiet run has nobody to close its invisible window: it ends here, with exit code 1.
    if (quiet)
        ::PostMessageW(window, WM_CLOSE, 0, 0);
}

void Application::RecordFailure(const char* what) noexcept
{
    try {
        ShowError(text::ToWide(what));
    } catch (...) {
        result = 1;
        ::InvalidateRect(window, nullptr, TRUE);
        Announce();
        if (quiet)
            ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

} // namespace gui
