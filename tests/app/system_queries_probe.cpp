// Prints what the system queries answer, one "name=value" a line, for the version tests.
#include "sys/system_library.h"
#include "app/system_queries.h"

#include <windows.h>

#include <cstdio>

int main()
{
    const auto version = sys::OsVersion();
    if (version)
        std::printf("version=%lu.%lu.%lu\n", version->major, version->minor, version->build);
    else
        std::printf("version=absent\n");
    // Asked twice: the cached answer must not differ from the first.
    for (int round = 0; round < 2; ++round) {
        std::printf("per_window_dpi=%d\n", sys::SupportsPerWindowDpi() ? 1 : 0);
        std::printf("awareness_context=%d\n", sys::SupportsDpiAwarenessContext() ? 1 : 0);
        std::printf("wow64=%d\n", sys::IsWow64() ? 1 : 0);
    }
    for (DWORD minor = 0; minor <= 3; ++minor)
        std::printf("at_least_6.%lu=%d\n", minor, sys::IsOsVersionAtLeast(minor) ? 1 : 0);

    // This console program does not import User32 itself.
    const sys::UniqueModule user32 = sys::LoadSystemLibrary(L"user32.dll");
    for (UINT dpi : {96u, 144u}) {
        LOGFONTW font{};
        const int answer = sys::GetIconTitleFontForDpi(user32.Get(), font, dpi);
        std::printf("icon_font_%u=%d %ld\n", dpi, answer != 0 ? 1 : 0, font.lfHeight);
    }
    return 0;
}
