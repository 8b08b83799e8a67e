#include "app/application.h"

#include "http/errors.h"
#include "text/text_conversion.h"

#include <curl/curl.h>
#include <shlobj.h>


namespace gui {
namespace {

constexpr wchar_t ProductName[] = L"Rora REZ Idadezo 15";
constexpr wchar_t InstallerName[] = L"RoraREZIdadezo15.exe";
constexpr wchar_t MutexName[] = L"RoraREZIdadezo15 Small Installer Mutex";

std::wstring CommonDataFolder()
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return {};
    return folder;
}

// The system's text for a Win32 error. The C++ runtime's system_category() does not ask the
// system for it on this platform, so FormatMessageW is called directly.
std::wstring SystemMessage(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring message;
    if (length != 0 && buffer) {
        message.assign(buffer, length);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
            message.pop_back();
    }
    if (buffer)
        ::LocalFree(buffer);
    return message.empty() ? L"unknown error" : message;
}

bool FileSystemEntryExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

Application::Application(HINSTANCE instanceHandle, int showCommand, const std::wstring& line, DownloaderFactory factory)
    : instance(instanceHandle)
    , downloaderFactory(std::move(factory))
{
    if (!line.empty()) {
        quiet = line.find(L"/quiet") != std::wstring::npos;
        wait = line.find(L"/wait") != std::wstring::npos;
        commandLine = line;
    }

    if (RunExistingInstaller())
        return;
    if (IsAnotherInstanceRunning())
        return;
    InitializeHttpLibrary();
    if (!RegisterWindowClass())
        return;
    if (CreateMainWindow(showCommand))
        windowCreated = true;
}

Application::~Application()
{
    downloader.reset();
    curl_global_cleanup();

    window = nullptr;
    progressBar = nullptr;
    if (classRegistered)
        ::UnregisterClassW(WindowClassName, instance);
    instance = nullptr;

    if (wait && installerProcess && installerProcess->process)
        ::WaitForSingleObject(installerProcess->process.Get(), INFINITE);
    installerProcess.reset();
}

bool Application::RunExistingInstaller()
{
    const std::wstring path = CommonDataFolder() + L"\\" + ProductName + L"\\Installation\\" + InstallerName;
    if (!FileSystemEntryExists(path))
        return false;

    installerProcess = StartInstaller(path, commandLine);
    if (!installerProcess) {
        statusText = SystemMessage(::GetLastError());
        result = 1;
        return false;
    }
    return true;
}

bool Application::IsAnotherInstanceRunning()
{
    instanceMutex.Reset(::CreateMutexW(nullptr, TRUE, MutexName));
    if (!instanceMutex)
        return true;
    return ::GetLastError() == ERROR_ALREADY_EXISTS;
}

void Application::InitializeHttpLibrary()
{
    try {
        const CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
        http::CheckCurlResult(code, std::string());
    } catch (const http::connection_error& error) {
        statusText = text::ToWide(error.what());
        result = 1;
    }
}

int Application::RunMessageLoop()
{
    if (!windowCreated)
        return 0;
    MSG message;
    while (::GetMessageW(&message, window, 0, 0) > 0)
        ::DispatchMessageW(&message);
    return result == 1 ? 1 : 0;
}

} // namespace gui
