#include "download/destination.h"

#include "app/system_queries.h"
#include "http/errors.h"
#include "sys/system_error.h"
#include "text/text_conversion.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace gui {
namespace {

[[noreturn]] void ThrowFolderError(const char* action, const std::filesystem::path& folder, DWORD error)
{
    throw common::internal_error(common::InternalCode::Failure,
        std::string("Could not ") + action + " the folder " + text::ToUtf8(folder.wstring()) + ": " + text::ToUtf8(sys::SystemErrorText(error)));
}

// Where the new folders go. An elevated process of an administrator takes its Temp folder from
// that user's environment, which every unprivileged process of the user may change: it uses the
// Windows directory's Temp instead, which only administrators and SYSTEM own, and which is the
// machine's one Windows directory also under Remote Desktop.
std::filesystem::path DownloadRoot()
{
    if (!sys::IsElevated())
        return std::filesystem::temp_directory_path();
    std::wstring windows(MAX_PATH, L'\0');
    UINT length = ::GetSystemWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
    if (length >= windows.size()) {
        windows.resize(length);
        length = ::GetSystemWindowsDirectoryW(windows.data(), static_cast<UINT>(windows.size()));
    }
    if (length == 0 || length >= windows.size())
        throw common::internal_error(common::InternalCode::Failure,
            "Could not find the Windows folder: " + text::ToUtf8(sys::SystemErrorText(::GetLastError())));
    windows.resize(length);
    return std::filesystem::path(windows) / L"Temp";
}

std::wstring RandomFolderName()
{
    std::random_device source;
    std::mt19937 engine(source());
    std::uniform_int_distribution<std::uint64_t> distribution(0, std::numeric_limits<std::uint64_t>::max());
    std::ostringstream name;
    name << std::hex << distribution(engine);
    return text::ToWide(name.str());
}

} // namespace

sys::UniqueSecurityDescriptor ProtectedFolderSecurity()
{
    const std::wstring user = sys::CurrentUserSid();
    if (user.empty())
        return sys::UniqueSecurityDescriptor();
    // O:BA: Administrators own it, so that a policy that makes the creator the owner does not
    // give the user the owner's right to change the DACL; OW (OWNER RIGHTS) limits what
    // ownership alone grants to read and execute. P: protected. OICI: inherited by files and
    // folders inside. FA: full control. 0x1200a9: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
    const std::wstring sddl = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;OW)(A;OICI;0x1200a9;;;"
        + user + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return sys::UniqueSecurityDescriptor();
    return sys::UniqueSecurityDescriptor(descriptor);
}

UniqueDirectory MakeUniqueDirectory()
{
    namespace fs = std::filesystem;
    UniqueDirectory result;
    try {
        const fs::path root = DownloadRoot();
        do {
            result.path = root / RandomFolderName();
        } while (fs::exists(result.path));
    } catch (const fs::filesystem_error& error) {
        throw common::internal_error(common::InternalCode::Failure, error.what());
    }

    // Elevated, the folder is never made without the protected descriptor: no descriptor, no run.
    sys::UniqueSecurityDescriptor security;
    if (sys::IsElevated()) {
        security = ProtectedFolderSecurity();
        if (!security)
            ThrowFolderError("secure", result.path, ::GetLastError());
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.Get(), FALSE};
    if (!::CreateDirectoryW(result.path.c_str(), security ? &attributes : nullptr)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS) {
            result.path.clear(); // someone made it between the test and the creation
            return result;
        }
        ThrowFolderError("create", result.path, error);
    }

    // Opened without the link itself being followed, so that a folder swapped for a link between
    // the creation and this open is seen for what it is. No DELETE access: the installer opens
    // its current directory, this folder, without delete sharing, and would be refused.
    result.handle.Reset(::CreateFileW(result.path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr));
    if (!result.handle)
        ThrowFolderError("open", result.path, ::GetLastError());
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(result.handle.Get(), &information))
        ThrowFolderError("examine", result.path, ::GetLastError());
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw common::internal_error(common::InternalCode::Failure,
            "The new folder " + text::ToUtf8(result.path.wstring()) + " was replaced by a link or a file");
    return result;
}

bool RemoveEmptyDirectory(UniqueDirectory& folder) noexcept
{
    if (folder.path.empty())
        return false;
    // The held handle denies delete sharing, so it goes first. The name still leads to this
    // folder: a link put in its place would be deleted itself, never followed.
    folder.handle.Reset();
    const sys::UniqueFile removable(::CreateFileW(folder.path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return removable && DeleteThroughHandle(removable.Get());
}

bool DeleteThroughHandle(HANDLE handle) noexcept
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

void DiscardFolder(UniqueDirectory& folder, const std::filesystem::path& filePath, sys::UniqueFile& file) noexcept
{
    if (folder.path.empty())
        return;
    const std::wstring& path = filePath.native();
    bool deleted = true;
    if (!path.empty()) {
        sys::UniqueFile opened = std::move(file);
        if (!opened)
            opened.Reset(::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (opened)
            deleted = DeleteThroughHandle(opened.Get());
        else
            deleted = ::GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    if (RemoveEmptyDirectory(folder))
        return;
    // Still mapped by a process that did not go in time, or held by another: an administrator's
    // leftover in the administrators' folder, gone at the next start of Windows.
    if (!deleted)
        ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    ::MoveFileExW(folder.path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool CopyOpenFile(HANDLE source, const std::filesystem::path& target)
{
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(source, &size) || size.QuadPart < 0)
        return false;
    std::vector<char> buffer(1 << 20);
    sys::UniqueFile copy(::CreateFileW(target.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!copy)
        return false;
    // Never more than the size found when the file was opened: nobody can write to it since.
    // Each read names its offset: the signature check has read the file through this handle.
    const auto total = static_cast<std::uint64_t>(size.QuadPart);
    for (std::uint64_t done = 0; done < total;) {
        const auto wanted = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), total - done));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(done);
        at.OffsetHigh = static_cast<DWORD>(done >> 32);
        DWORD read = 0, written = 0;
        if (!::ReadFile(source, buffer.data(), wanted, &read, &at) || read == 0
            || !::WriteFile(copy.Get(), buffer.data(), read, &written, nullptr) || written != read) {
            DeleteThroughHandle(copy.Get());
            return false;
        }
        done += read;
    }
    return true;
}

bool HasEnoughFreeSpace(const std::filesystem::path& folder, std::uint64_t contentLength)
{
    ULARGE_INTEGER available{}, total{}, free{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free))
        available.QuadPart = 0;
    return available.QuadPart >= contentLength;
}

} // namespace gui
