#include "app/installer_launch.h"

#include <cstring>
#include <filesystem>
#include <vector>

namespace gui {
namespace {

// ERROR_INVALID_IMAGE_HASH, which the SDK headers for Windows 7 lack: "Windows cannot verify the
// digital signature for this file."
constexpr DWORD InvalidImageHash = 577;

// How long a start that is refused waits for the process it ended to go.
constexpr DWORD TerminatedProcessWaitMs = 5000;

// FILE_INFO_BY_HANDLE_CLASS's FileIdInfo and its answer, which the SDK headers for Windows 7 lack.
constexpr auto FileIdInformation = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
struct FileIdInformationAnswer {
    ULONGLONG volume;
    BYTE id[16];
};

// A file's identity on this machine: its volume's serial number and its file identifier. ReFS
// needs all 128 bits of the identifier; the 64-bit file index is all Windows 7 has.
struct FileIdentity {
    ULONGLONG volume = 0;
    BYTE id[16] = {};

    bool operator==(const FileIdentity&) const = default;
};

bool Identity128(HANDLE file, FileIdentity& identity)
{
    FileIdInformationAnswer answer{};
    if (!::GetFileInformationByHandleEx(file, FileIdInformation, &answer, sizeof(answer)))
        return false;
    identity.volume = answer.volume;
    std::memcpy(identity.id, answer.id, sizeof(identity.id));
    return true;
}

bool Identity64(HANDLE file, FileIdentity& identity)
{
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information))
        return false;
    identity.volume = information.dwVolumeSerialNumber;
    const ULONGLONG index = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    std::memcpy(identity.id, &index, sizeof(index));
    return true;
}

// Whether two open files are the same file. Both are asked the same way: the 128-bit identifier
// where the system has it, the volume serial number and file index otherwise.
bool SameFile(HANDLE first, HANDLE second)
{
    FileIdentity a, b;
    if (Identity128(first, a) && Identity128(second, b))
        return a == b;
    a = b = FileIdentity();
    return Identity64(first, a) && Identity64(second, b) && a == b;
}

// Whether the image the process was started from is the file behind `checkedFile`. The image's
// path is opened only to read its identity; the checked handle denies writing, renaming and
// deleting, so that path cannot have been given another file since the start.
// `image` is room for the image's path, made before the process was.
bool StartedFrom(HANDLE process, HANDLE checkedFile, std::vector<wchar_t>& image) noexcept
{
    auto size = static_cast<DWORD>(image.size());
    if (!::QueryFullProcessImageNameW(process, 0, image.data(), &size))
        return false;
    const sys::UniqueFile started(::CreateFileW(image.data(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return started && SameFile(checkedFile, started.Get());
}

} // namespace

std::wstring InstallerCommandLine(const std::wstring& installerPath, const std::wstring& arguments)
{
    // Quoted, so that Windows cannot run a program planted at a shorter prefix of a path with
    // blanks (C:\ProgramData\First.exe for C:\ProgramData\First Second 15\...).
    std::wstring line = L"\"" + installerPath + L"\"";
    if (!arguments.empty()) {
        line += L' ';
        line += arguments;
    }
    return line;
}

std::unique_ptr<LaunchedProcess> StartInstaller(const std::wstring& installerPath, const std::wstring& arguments,
    sys::UniqueFile& checkedFile)
{
    if (!checkedFile) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::wstring line = InstallerCommandLine(installerPath, arguments);
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');

    // The installer starts in its own folder, not in the one the user ran this program from
    // (usually Downloads), which would otherwise be on its DLL search path.
    const std::wstring folder = std::filesystem::path(installerPath).parent_path().wstring();

    // Everything that could fail for want of memory is made before the process: once it exists,
    // suspended and elevated, each way out either lets it run or ends it.
    auto launched = std::make_unique<LaunchedProcess>();
    std::vector<wchar_t> image(32768);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
            folder.empty() ? nullptr : folder.c_str(), &startup, &info))
        return nullptr;
    launched->process.Reset(info.hProcess);
    launched->thread.Reset(info.hThread);
    launched->processId = info.dwProcessId;
    launched->threadId = info.dwThreadId;

    DWORD error = ERROR_SUCCESS;
    if (!StartedFrom(launched->process.Get(), checkedFile.Get(), image))
        error = InvalidImageHash;
    if (error == ERROR_SUCCESS) {
        // The image is mapped and cannot change any more: the installer may now open itself.
        checkedFile.Reset();
        if (::ResumeThread(launched->thread.Get()) == static_cast<DWORD>(-1))
            error = ::GetLastError();
    }
    if (error != ERROR_SUCCESS) {
        // Its image stays mapped, and cannot be deleted, until the process has gone.
        ::TerminateProcess(launched->process.Get(), 1);
        ::WaitForSingleObject(launched->process.Get(), TerminatedProcessWaitMs);
        ::SetLastError(error);
        return nullptr;
    }
    return launched;
}

} // namespace gui
