#include "trust/placed_installer.h"

#include "app/system_queries.h"
#include "sys/handles.h"
#include "sys/system_library.h"

#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

#include <string_view>

namespace trust {
namespace {

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

// The accounts that may own the placed installer and its folders and change them. The
// account this program runs as is one: its unelevated processes could as well replace this
// program in its own download folder before it starts.
constexpr const wchar_t* TrustedSids[] = {
    L"S-1-5-18", // SYSTEM
    L"S-1-5-32-544", // Administrators
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", // TrustedInstaller
};
// OWNER RIGHTS: the owner's own rights, and the owner must be trusted.
constexpr wchar_t OwnerRights[] = L"S-1-3-4";

// The rights that could change what runs: on the file, its data, its name and its descriptor;
// on a folder, its name, the names in it and its descriptor.
constexpr ACCESS_MASK ChangesFile = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr ACCESS_MASK ChangesFolder = DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER;

bool IsTrusted(const std::wstring& sid, const std::wstring& self)
{
    if (sid.empty())
        return false;
    if (sid == self)
        return true;
    for (const wchar_t* trusted : TrustedSids)
        if (sid == trusted)
            return true;
    return false;
}

// The folder at `path`, opened only to read its descriptor and attributes (rights that no
// sharing mode refuses), without following a link; invalid when it is a link or no folder.
sys::UniqueFile OpenFolderForDescriptor(const std::filesystem::path& path)
{
    sys::UniqueFile folder(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!folder || !::GetFileInformationByHandle(folder.Get(), &information)
        || (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
        || (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return {};
    return folder;
}

bool HandleOnlyTrustedCanChange(HANDLE handle, PlacedObject object, const std::wstring& self)
{
    sys::UniqueSecurityDescriptor descriptor;
    if (::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
            nullptr, nullptr, nullptr, descriptor.Put()) != ERROR_SUCCESS)
        return false;
    return OnlyTrustedCanChange(descriptor.Get(), object, self);
}

} // namespace

bool OnlyTrustedCanChange(PSECURITY_DESCRIPTOR descriptor, PlacedObject object, const std::wstring& self)
{
    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE, present = FALSE, daclDefaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor || !::GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted)
        || !IsTrusted(sys::SidText(owner), self)
        || !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted) || !present || !dacl)
        return false;

    const ACCESS_MASK forbidden = object == PlacedObject::File ? ChangesFile : ChangesFolder;
    GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(dacl, i, &entry))
            return false;
        const auto& header = *static_cast<const ACE_HEADER*>(entry);
        if ((header.AceFlags & INHERIT_ONLY_ACE) != 0)
            continue;
        switch (header.AceType) {
        case ACCESS_DENIED_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
            continue;
        case ACCESS_ALLOWED_ACE_TYPE:
            break;
        default:
            // Callback, conditional, object and unknown entries: what they grant cannot be
            // read here.
            return false;
        }
        const auto& allowed = *static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        ACCESS_MASK rights = allowed.Mask;
        ::MapGenericMask(&rights, &mapping);
        if ((rights & forbidden) == 0)
            continue;
        const std::wstring sid = sys::SidText(const_cast<DWORD*>(&allowed.SidStart));
        if (sid != OwnerRights && !IsTrusted(sid, self))
            return false;
    }
    return true;
}

bool PlacedByTrusted(HANDLE file, const std::filesystem::path& path)
{
    const std::wstring self = sys::CurrentUserSid();
    if (self.empty() || !HandleOnlyTrustedCanChange(file, PlacedObject::File, self))
        return false;
    const std::filesystem::path installation = path.parent_path();
    for (const std::filesystem::path& folder : {installation, installation.parent_path()}) {
        const sys::UniqueFile opened = OpenFolderForDescriptor(folder);
        if (!opened || !HandleOnlyTrustedCanChange(opened.Get(), PlacedObject::Folder, self))
            return false;
    }
    return true;
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
    if (!PlacedByTrusted(file.Get(), path))
        return {};
    return file;
}

} // namespace trust
