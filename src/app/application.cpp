#include "app/application.h"

#include "download/destination.h"
#include "http/errors.h"
#include "sys/scope_guard.h"
#include "text/text_conversion.h"
#include "trust/installer_trust.h"
#include "trust/placed_installer.h"

#include <curl/curl.h>
#include <shlobj.h>


namespace gui {
namespace {

constexpr wchar_t ProductName[] = L"" RORA_PRODUCT_FULL_NAME;
constexpr wchar_t MutexName[] = L"" RORA_MUTEX_NAME;

std::wstring CommonDataFolder()
{
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return {};
    return folder;
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
    // The window answers screen readers through COM; the quiet window has nothing to show them.
    // Entered before any window exists: ole32 is then loaded from the system directory by this
    // program before any library that imports it asks for it by name.
    if (!quiet)
        apartment.Enter();
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

    // Nothing of COM's is needed any more, and a screen reader that still holds the window's
    // object must not wait for this thread, which is about to wait for the installer.
    accessible.reset();
    apartment.Leave();

    if (wait && installerProcess && installerProcess->process)
        ::WaitForSingleObject(installerProcess->process.Get(), INFINITE);
    installerProcess.reset();
}

bool Application::RunExistingInstaller()
{
    const std::wstring path = CommonDataFolder() + L"\\" + ProductName + L"\\Installation\\" + InstallerFileName;

    // Anyone may write below ProgramData. The placed file is opened once, without following a link
    // or waiting on anyone, and taken only when it is a regular file of a sane size at that very
    // path, which no other account could have put there or changed, whose certificate table holds
    // nothing but its signature and whose signature is the publisher's: then it is read, through
    // that handle, into a folder of the administrators' own, checked again there and started from
    // there, so that nothing placed beside it, into it after the check or in its place runs with
    // this program's rights, and nothing unsigned is ever copied. Anything else is passed over at
    // once: the run downloads as if nothing had been placed.
    try {
        sys::UniqueFile placed = trust::OpenPlacedInstaller(path);
        if (!placed || !trust::SignatureFailure(placed.Get(), path).empty())
            return false;
        UniqueDirectory folder = MakeUniqueDirectory();
        if (folder.path.empty())
            return false;
        std::filesystem::path copy;
        trust::CheckedInstaller checked;
        // Whatever ends the attempt short of a start, an exception included, takes the copy and
        // its folder with it.
        const auto discard = sys::ScopeGuard([&] {
            if (!installerProcess)
                DiscardFolder(folder, copy, checked.file);
        });
        copy = folder.path / InstallerFileName;
        if (!CopyOpenFile(placed.Get(), copy))
            return false;
        placed.Reset();
        checked = trust::CheckInstaller(copy);
        if (checked.Trusted())
            installerProcess = StartInstaller(copy.wstring(), commandLine, checked.file);
        return installerProcess != nullptr;
    } catch (const std::exception&) {
        // No folder for the copy, or no memory: the download runs instead.
    }
    return false;
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
    // Every message of the thread, not only the window's: COM delivers the calls of screen
    // readers to a hidden window of its own on this thread.
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
        ::DispatchMessageW(&message);
    return result == 1 ? 1 : 0;
}

} // namespace gui
