#include "sys/system_library.h"

#include <delayimp.h>

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

// The delay-load helper would load a delay-imported DLL (see cmake/DelayImport.cmake) with
// LoadLibraryA and whatever search order is in force at that moment; this loads it from the
// system directory instead, even on a Windows 7 without the search flags.
FARPROC WINAPI LoadDelayImportedLibrary(unsigned notification, PDelayLoadInfo info) noexcept
{
    if (notification != dliNotePreLoadLibrary || !info || !info->szDll)
        return nullptr;
    wchar_t name[MAX_PATH];
    size_t i = 0;
    for (; info->szDll[i] != '\0'; ++i) {
        if (i + 1 == MAX_PATH)
            return nullptr;
        name[i] = static_cast<unsigned char>(info->szDll[i]);
    }
    name[i] = L'\0';
    // The helper owns the module from here on. Null leaves it to its own LoadLibraryA, which
    // the restricted search order still keeps out of the program's folder.
    return reinterpret_cast<FARPROC>(LoadSystemLibrary(name).Release());
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

// Read by the delay-load helper of mingw-w64's runtime.
extern "C" {
PfnDliHook __pfnDliNotifyHook2 = sys::LoadDelayImportedLibrary;
}
