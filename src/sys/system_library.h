#pragma once

#include "sys/handles.h"

#include <windows.h>

namespace sys {

// Loads a DLL from the system directory only: the program usually runs from a Downloads
// folder, where anyone can leave a DLL of the same name. Null when it cannot be loaded.
UniqueModule LoadSystemLibrary(const wchar_t* name) noexcept;

// Restricts the process's DLL search to the system directory for every later load, where the
// system supports it (Windows 7 needs its loader update). Call first thing at start-up.
void RestrictDllSearchToSystem() noexcept;

template <typename Fn>
Fn FindExport(HMODULE module, const char* name) noexcept
{
    if (!module)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

} // namespace sys
