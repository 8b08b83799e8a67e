#pragma once

#include "app/accessible_status.h"
#include "app/installer_launch.h"
#include "build_settings.h"
#include "download/installer_downloader.h"
#include "sys/handles.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace http {
class HttpSettings;
}

namespace gui {

enum class DownloadStage { Begin = 0, Succeeded = 1, Failed = 2 };

// Makes the coordinator that stage Begin starts. The program's own makes a
// MainInstallerDownloader; tests hand in their own.
using DownloaderFactory = std::function<std::unique_ptr<InstallerDownloader>(HWND, std::shared_ptr<http::HttpSettings>)>;

// Owns the main window, the switches, the coordinator and the started installer. The
// constructor does all start-up work; the destructor the ordered shut-down.
class Application {
public:
    Application(HINSTANCE instance, int showCommand, const std::wstring& commandLine, DownloaderFactory factory = {});
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    bool WindowCreated() const noexcept { return windowCreated; }
    int Result() const noexcept { return result; }
    HWND Window() const noexcept { return window; }

    // Runs the main window's message loop until the window is gone; returns the exit code.
    int RunMessageLoop();

    static constexpr wchar_t WindowClassName[] = L"" RORA_WINDOW_TITLE;

private:
    // Start-up (application.cpp)
    bool RunExistingInstaller();
    bool IsAnotherInstanceRunning();
    void InitializeHttpLibrary();

    // Window (main_window.cpp)
    bool RegisterWindowClass();
    bool CreateMainWindow(int showCommand);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    void OnCreate();
    void Paint();
    bool CreateProgressBar();
    void UpdateLayout(int dpi, UINT flags);
    int ScaleForDpi(int value, int dpi) const;
    int GetWindowDpi(HWND hwnd);
    void SetProcessDpiAwareness();
    HMODULE User32();
    HMODULE Shcore();
    void RemoveVisualStyle(HWND control);
    void ApplyBarColors();
    std::wstring ShownText() const;
    void Announce() noexcept;
    void RecordFailure(const char* text) noexcept;
    void HandleDownloadStage(DownloadStage stage);
    void ShowError(const std::wstring& text);

    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    HWND progressBar = nullptr;
    bool windowCreated = false;
    bool quiet = false;
    bool wait = false;
    std::wstring commandLine;
    int baseDpi = 96;
    std::unique_ptr<InstallerDownloader> downloader;
    std::unique_ptr<LaunchedProcess> installerProcess;
    // User32.dll is loaded in every GUI process: taken with GetModuleHandleW, never freed.
    HMODULE user32 = nullptr;
    sys::UniqueModule shcore;
    std::wstring statusText = L"Preparing...";
    const std::wstring errorText = L"Error while downloading the installer.\nPlease check your internet connection and try again.";
    int result = 0;

    DownloaderFactory downloaderFactory;
    // Held until the process ends, so a second instance stays out during a /wait as well.
    sys::UniqueKernelHandle instanceMutex;
    bool classRegistered = false;
    // uxtheme.dll, loaded when the progress bar is made, for SetWindowTheme.
    sys::UniqueModule uxtheme;
    // COM for the window's thread; left once the message loop has ended, before the wait for
    // the installer.
    ComApartment apartment;
    // The client area as screen readers see it; null in quiet mode and once the window is gone.
    std::unique_ptr<AccessibleStatus> accessible;
};

} // namespace gui
