#pragma once

#include "sys/unique_resource.h"

#include <windows.h>

namespace sys {

// Process, thread, mutex, event and other handles for which null means none.
using UniqueKernelHandle = UniqueResource<HANDLE, &::CloseHandle>;
// Handles from CreateFileW, for which INVALID_HANDLE_VALUE means none.
using UniqueFile = UniqueResource<HANDLE, &::CloseHandle, -1>;
using UniqueModule = UniqueResource<HMODULE, &::FreeLibrary>;
// Security descriptors and other blocks that the system allocates with LocalAlloc.
using UniqueSecurityDescriptor = UniqueResource<PSECURITY_DESCRIPTOR, &::LocalFree>;

} // namespace sys
