#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace sys {

struct OsVersionInfo {
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
};

// The true version from RtlGetVersion, cached once known; absent when it cannot be read.
std::optional<OsVersionInfo> OsVersion();

// Windows 10 build 14393 or later (GetDpiForWindow, SystemParametersInfoForDpi).
bool SupportsPerWindowDpi();

// Windows 10 build 15063 or later (SetProcessDpiAwarenessContext, per-monitor v2).
bool SupportsDpiAwarenessContext();

// VerifyVersionInfoW for 6.minor or later. Without a supportedOS manifest entry Windows 8.1
// and later report 6.2 here, as Windows does for every such program.
bool IsOsVersionAtLeast(DWORD minor);

// The 32-bit process runs on 64-bit Windows. Cached.
bool IsWow64();

// The process runs with an elevated (full administrator) token; also when the token cannot be
// asked. Cached.
bool IsElevated();

// The string form ("S-1-5-21-...") of `sid`; empty when it is no valid SID.
std::wstring SidText(PSID sid);

// The string form of the SID of the user who runs the process; empty when it cannot be read.
std::wstring CurrentUserSid();

// SystemParametersInfoForDpi(SPI_GETICONTITLELOGFONT) from the given User32 module; 0 when the
// system lacks per-window DPI or the function.
int GetIconTitleFontForDpi(HMODULE user32, LOGFONTW& font, UINT dpi);

} // namespace sys
