#include "download/destination.h"

#include "app/system_queries.h"
#include "http/errors.h"
#include "sys/system_error.h"
#include "sys/system_library.h"
#include "text/text_conversion.h"

#include <windows.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
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

// What ntdll.dll gives every Windows, which the SDK headers for Windows 7 lack or keep in the
// driver kit: NtCreateFile and its open options.
using NtCreateFileFn = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG,
    ULONG, ULONG, ULONG, PVOID, ULONG);
constexpr ULONG FileOpen = 1;
constexpr ULONG FileSequentialOnly = 0x4;
constexpr ULONG FileSynchronousIoNonAlert = 0x20;
constexpr ULONG FileNonDirectoryFile = 0x40;
constexpr ULONG FileCompleteIfOplocked = 0x100;
constexpr ULONG FileOpenReparsePoint = 0x200000;

// Attributes of anything that is not a regular file whose data are all on this disk. Offline,
// sparse and recalled files get their data from elsewhere, and reading them can take any time.
constexpr DWORD RecallOnOpen = 0x40000;
constexpr DWORD RecallOnDataAccess = 0x400000;
constexpr DWORD NotATakenFile = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE
    | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SPARSE_FILE | RecallOnOpen | RecallOnDataAccess;

} // namespace

UniqueSecurityDescriptor ProtectedFolderSecurity()
{
    const std::wstring user = sys::CurrentUserSid();
    if (user.empty())
        return UniqueSecurityDescriptor();
    // O:BA: Administrators own it, so that a policy that makes the creator the owner does not
    // give the user the owner's right to change the DACL; OW (OWNER RIGHTS) limits what
    // ownership alone grants to read and execute. P: protected. OICI: inherited by files and
    // folders inside. FA: full control. 0x1200a9: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
    const std::wstring sddl = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;OW)(A;OICI;0x1200a9;;;"
        + user + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return UniqueSecurityDescriptor();
    return UniqueSecurityDescriptor(descriptor);
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
    UniqueSecurityDescriptor security;
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

sys::UniqueFile OpenPlacedInstaller(const std::filesystem::path& path)
{
    const auto createFile = sys::FindExport<NtCreateFileFn>(::GetModuleHandleW(L"ntdll.dll"), "NtCreateFile");
    if (!createFile)
        return {};
    std::wstring name = L"\\??\\" + path.wstring();
    if (name.size() * sizeof(wchar_t) > UINT16_MAX - sizeof(wchar_t))
        return {};
    UNICODE_STRING objectName{static_cast<USHORT>(name.size() * sizeof(wchar_t)),
        static_cast<USHORT>((name.size() + 1) * sizeof(wchar_t)), name.data()};
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.ObjectName = &objectName;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK status{};
    HANDLE opened = nullptr;
    // The link itself, never what it points to; no writer may have it open, nor open it later.
    // An open that would wait for another process to give up its oplock returns at once instead.
    const NTSTATUS result = createFile(&opened, FILE_GENERIC_READ, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
        FILE_SHARE_READ, FileOpen,
        FileNonDirectoryFile | FileSynchronousIoNonAlert | FileOpenReparsePoint | FileCompleteIfOplocked | FileSequentialOnly,
        nullptr, 0);
    sys::UniqueFile file(result >= 0 && opened ? opened : INVALID_HANDLE_VALUE);
    // Anything but plain success, an oplock break under way among them, is not taken.
    if (result != 0)
        return {};

    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file.Get(), &information)
        || (information.dwFileAttributes & NotATakenFile) != 0 || information.nNumberOfLinks != 1
        || ((static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow) > PlacedInstallerLimit)
        return {};

    // Where the handle really leads: a folder on the way that is a link, or a second name of a
    // file elsewhere, would make an unprivileged user's file the one taken.
    std::wstring reached(MAX_PATH, L'\0');
    DWORD length = ::GetFinalPathNameByHandleW(file.Get(), reached.data(), static_cast<DWORD>(reached.size()),
        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= reached.size()) {
        reached.resize(length);
        length = ::GetFinalPathNameByHandleW(file.Get(), reached.data(), static_cast<DWORD>(reached.size()),
            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    if (length == 0 || length >= reached.size())
        return {};
    reached.resize(length);
    constexpr std::wstring_view longPrefix = L"\\\\?\\";
    if (reached.starts_with(longPrefix))
        reached.erase(0, longPrefix.size());
    const std::wstring& expected = path.native();
    if (::CompareStringOrdinal(reached.c_str(), static_cast<int>(reached.size()), expected.c_str(),
            static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL)
        return {};
    return file;
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
