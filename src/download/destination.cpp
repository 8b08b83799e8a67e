#include "download/destination.h"

#include "app/system_queries.h"
#include "http/errors.h"
#include "sys/system_error.h"
#include "text/text_conversion.h"

#include <windows.h>
#include <sddl.h>

#include <limits>
#include <random>
#include <sstream>
#include <string>

namespace gui {
namespace {

[[noreturn]] void ThrowFolderError(const char* action, const std::filesystem::path& folder, DWORD error)
{
    throw common::internal_error(common::InternalCode::Failure,
        std::string("Could not ") + action + " the folder " + text::ToUtf8(folder.wstring()) + ": " + text::ToUtf8(sys::SystemErrorText(error)));
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

UniqueSecurityDescriptor ProtectedFolderSecurity()
{
    const std::wstring user = sys::CurrentUserSid();
    if (user.empty())
        return UniqueSecurityDescriptor();
    // P: protected. OICI: inherited by files and folders inside. FA: full control. 0x1200a9:
    // FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
    const std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + user + L")";
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
        const fs::path temp = fs::temp_directory_path();
        do {
            result.path = temp / RandomFolderName();
        } while (fs::exists(result.path));
    } catch (const fs::filesystem_error& error) {
        throw common::internal_error(common::InternalCode::Failure, error.what());
    }

    // An elevated process of an administrator uses that user's own Temp folder, where the user's
    // unprivileged processes could otherwise replace the installer before it starts.
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
    // the creation and this open is seen for what it is.
    result.handle.Reset(::CreateFileW(result.path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | DELETE | SYNCHRONIZE,
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

bool DeleteThroughHandle(HANDLE handle) noexcept
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

bool HasEnoughFreeSpace(const std::filesystem::path& folder, std::uint64_t contentLength)
{
    ULARGE_INTEGER available{}, total{}, free{};
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free))
        available.QuadPart = 0;
    return available.QuadPart >= contentLength;
}

} // namespace gui
