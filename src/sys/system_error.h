#pragma once

#include <windows.h>

#include <string>

namespace sys {

// The system's own text for a Win32 error code, without the trailing line end; "unknown error"
// when the system has none. The C++ runtime's system_category() does not ask the system on this
// platform. `insert` fills the %1 of texts that name a file ("%1 is not a valid Win32
// application.").
std::wstring SystemErrorText(DWORD error, const std::wstring& insert = std::wstring());

} // namespace sys
