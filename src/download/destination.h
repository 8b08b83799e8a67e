#pragma once

#include "sys/handles.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace gui {

inline constexpr wchar_t InstallerFileName[] = L"RoraREZIdadezo15.exe";

// A new folder, held open from its creation on without delete sharing: while the handle is open
// nobody can rename or delete the folder or put a link in its place.
struct UniqueDirectory {
    std::filesystem::path path; // empty when the folder appeared between the test and the creation
    sys::UniqueFile handle;
};

// Makes a new folder with a random hexadecimal name under the temporary directory. When the
// process runs elevated the folder gets ProtectedFolderSecurity(), so that no unprivileged process
// can put anything into it or change what is there. Throws internal_error 107 on file-system
// errors, and when the new folder turns out to be a link rather than the folder just made.
UniqueDirectory MakeUniqueDirectory();

// The administrators' own folder: a protected DACL (nothing inherited from the parent) with full
// control for SYSTEM and Administrators and read and execute for the user who runs the program,
// inherited by everything created inside. Null when it cannot be built.
using UniqueSecurityDescriptor = sys::UniqueResource<PSECURITY_DESCRIPTOR, &::LocalFree>;
UniqueSecurityDescriptor ProtectedFolderSecurity();

// Deletes a file or an empty folder through a handle opened with DELETE access, never by path.
bool DeleteThroughHandle(HANDLE handle) noexcept;

// Whether the volume of `folder` has at least `contentLength` bytes free for this user (a disk
// quota counts). A failed query counts as no free space.
bool HasEnoughFreeSpace(const std::filesystem::path& folder, std::uint64_t contentLength);

} // namespace gui
