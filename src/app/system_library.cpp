#include "app/system_library.h"

#include <string>

namespace sys {
namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32 is understood only where AddDllDirectory exists (Windows 8, or
// Windows 7 with KB2533623); elsewhere LoadLibraryExW refuses the flag.
bool SupportsSearchFlags() noexcept
{
    static const bool supported = FindExport<void (*)()>(::GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr;
    return supported;
}

} // namespace

UniqueModule LoadSystemLibrary(const wchar_t* name) noexcept
{
    if (SupportsSearchFlags())
        return UniqueModule(::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));

    wchar_t directory[MAX_PATH];
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return UniqueModule();
    try {
        std::wstring path(directory, length);
        path += L'\\';
        path += name;
        return UniqueModule(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    } catch (...) {
        return UniqueModule();
    }
}

void RestrictDllSearchToSystem() noexcept
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const auto setDefault = FindExport<SetDefaultDllDirectoriesFn>(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Also takes the current directory out of the search path on systems without the above.
    ::SetDllDirectoryW(L"");
}

} // namespace sys
