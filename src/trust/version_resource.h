#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace trust {

// The InternalName and OriginalFilename values of every string table in every version resource
// of the PE file open at `file`, read through that handle at absolute offsets, wherever its file
// pointer stands. Empty when the file is no PE image or has no version resource; a malformed
// resource gives what could be read of it.
std::vector<std::wstring> VersionFileNames(HANDLE file);

} // namespace trust
