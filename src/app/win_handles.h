#pragma once

#include "app/unique_handle.h"

#include <windows.h>

namespace sys {

struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle handle) noexcept { ::CloseHandle(handle); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() noexcept { return nullptr; }
    static void Close(Handle handle) noexcept { ::FreeLibrary(handle); }
};

// Process, thread, mutex and event handles (never INVALID_HANDLE_VALUE-style handles).
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;

} // namespace sys
