#pragma once

#include "build_settings.h"
#include "sys/handles.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace gui {

inline constexpr wchar_t InstallerFileName[] = L"" RORA_INSTALLER_FILE_NAME;

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
sys::UniqueSecurityDescriptor ProtectedFolderSecurity();

// Closes the folder's handle and deletes the folder, which must be empty; false when it stays.
bool RemoveEmptyDirectory(UniqueDirectory& folder) noexcept;

// Deletes a file or an empty folder through a handle opened with DELETE access, never by path.
bool DeleteThroughHandle(HANDLE handle) noexcept;

// Deletes the file at `filePath` in `folder`, then the folder. The file is deleted through `file`
// when that is open (and closed then), otherwise opened again by its path, which only the
// folder's owners can change. What cannot be deleted now is deleted when Windows next starts.
// `filePath` is empty when the folder holds no file of ours.
void DiscardFolder(UniqueDirectory& folder, const std::filesystem::path& filePath, sys::UniqueFile& file) noexcept;

// Copies the whole of the open file `source` into the new file `target` by reading that handle
// from its start (the source's path is never opened again). A partial copy is deleted; false then.
bool CopyOpenFile(HANDLE source, const std::filesystem::path& target);

// Whether the volume of `folder` has at least `contentLength` bytes free for this user (a disk
// quota counts). A failed query counts as no free space.
bool HasEnoughFreeSpace(const std::filesystem::path& folder, std::uint64_t contentLength);

} // namespace gui
