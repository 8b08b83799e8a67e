#pragma once

#include "sys/handles.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace trust {

// The largest placed installer that is copied and checked: far above any installer the publisher
// ships, and small enough that a file planted to stall every elevated run (a huge sparse file)
// is passed over at once instead of copied.
inline constexpr std::uint64_t PlacedInstallerLimit = std::uint64_t{2} << 30;

// Opens a placed installer once, for reading, with read sharing only, without following a link
// at `path` and without waiting on another process's oplock. Invalid unless it is a regular file
// on a disk (not a link, a folder or a device) with exactly one name, whose data are all here
// (not offline, not sparse, not recalled from elsewhere when read), of at most
// PlacedInstallerLimit bytes, whose final path is `path` itself (no folder on the way is a
// link), and which no other account could have put there or changed: PlacedByTrusted().
// `path` must be a full path with a drive letter.
sys::UniqueFile OpenPlacedInstaller(const std::filesystem::path& path);

// What a descriptor guards: the placed installer, or one of the two folders above it.
enum class PlacedObject { File, Folder };

// Whether only trusted accounts (SYSTEM, Administrators, TrustedInstaller and `self`, the
// string SID of the account this program runs as) can change what the object holds: one of
// them owns it, and no allow entry of its DACL that applies to the object itself grants any
// other SID a right that could change what runs. For a file: write or append data, delete,
// change permissions or owner; for a folder: delete, delete a child, change permissions or
// owner (adding files and folders is no such right). Generic rights count as the file rights
// they stand for; inherit-only and deny entries do not count; OWNER RIGHTS stands for the
// trusted owner. An allow entry of any type but the plain one refuses, and so does a missing
// (NULL) DACL, which grants everything to everyone.
bool OnlyTrustedCanChange(PSECURITY_DESCRIPTOR descriptor, PlacedObject object, const std::wstring& self);

// Whether the open placed installer `file` at `path`, its folder and the folder above that each
// pass OnlyTrustedCanChange() for this process's account. The file's descriptor is read through
// its handle; each folder is opened by its path without following a link and read through that
// handle, and refused when it is a link or no folder. While `file` is held without delete
// sharing, neither it nor a folder above it can be renamed or deleted.
bool PlacedByTrusted(HANDLE file, const std::filesystem::path& path);

} // namespace trust
