#pragma once

#include "sys/handles.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace gui {

inline constexpr wchar_t InstallerFileName[] = L"RoraREZIdadezo15.exe";

// A new folder, held open from its creation on without delete sharing: while the handle is open
// nobody can rename or delete the folder or put a link in its place. The handle itself has no
// DELETE access, so that a program may take the folder as its current directory.
struct UniqueDirectory {
    std::filesystem::path path; // empty when the folder appeared between the test and the creation
    sys::UniqueFile handle;
};

// Makes a new folder with a random hexadecimal name: under the user's temporary directory, or,
// when the process runs elevated, under the Windows directory's Temp with
// ProtectedFolderSecurity(), so that no unprivileged process can choose where it is, put anything
// into it or change what is there. Throws internal_error 107 on file-system errors, when the
// descriptor cannot be built, and when the new folder turns out to be a link rather than the
// folder just made.
UniqueDirectory MakeUniqueDirectory();

// The administrators' own folder: owned by Administrators, a protected DACL (nothing inherited
// from the parent) with full control for SYSTEM and Administrators, read and execute for the
// owner's implicit rights (OWNER RIGHTS) and for the user who runs the program, inherited by
// everything created inside. Null when it cannot be built.
using UniqueSecurityDescriptor = sys::UniqueResource<PSECURITY_DESCRIPTOR, &::LocalFree>;
UniqueSecurityDescriptor ProtectedFolderSecurity();

// Closes the folder's handle and deletes the folder, which must be empty; false when it stays.
bool RemoveEmptyDirectory(UniqueDirectory& folder) noexcept;

// Deletes a file or an empty folder through a handle opened with DELETE access, never by path.
bool DeleteThroughHandle(HANDLE handle) noexcept;

// The largest placed installer that is copied and checked: far above any installer the publisher
// ships, and small enough that a file planted to stall every elevated run (a huge sparse file)
// is passed over at once instead of copied.
inline constexpr std::uint64_t PlacedInstallerLimit = std::uint64_t{2} << 30;

// Opens a placed installer once, for reading, with read sharing only, without following a link
// at `path` and without waiting on another process's oplock. Invalid unless it is a regular file
// on a disk (not a link, a folder or a device) with exactly one name, whose data are all here
// (not offline, not sparse, not recalled from elsewhere when read), of at most
// PlacedInstallerLimit bytes, and whose final path is `path` itself (no folder on the way is a
// link). `path` must be a full path with a drive letter.
sys::UniqueFile OpenPlacedInstaller(const std::filesystem::path& path);

// Copies the whole of the open file `source` into the new file `target` by reading that handle
// from its start (the source's path is never opened again). A partial copy is deleted; false then.
bool CopyOpenFile(HANDLE source, const std::filesystem::path& target);

// Whether the volume of `folder` has at least `contentLength` bytes free for this user (a disk
// quota counts). A failed query counts as no free space.
bool HasEnoughFreeSpace(const std::filesystem::path& folder, std::uint64_t contentLength);

} // namespace gui
