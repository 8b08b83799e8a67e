#pragma once

#include <cstdint>
#include <filesystem>

namespace gui {

inline constexpr wchar_t InstallerFileName[] = L"RoraREZIdadezo15.exe";

// Makes a new folder with a random hexadecimal name under the temporary directory. Empty
// when the folder appeared between the test and the creation. Throws internal_error 107 on
// file-system errors.
std::filesystem::path MakeUniqueDirectory();

// Whether the volume of `folder` has at least `contentLength` bytes free for this user (a disk
// quota counts). A failed query counts as no free space.
bool HasEnoughFreeSpace(const std::filesystem::path& folder, std::uint64_t contentLength);

} // namespace gui
