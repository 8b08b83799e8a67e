#pragma once

#include "sys/handles.h"

#include <memory>
#include <string>

namespace gui {

// A started installer. Destroying the record closes its handles; it never waits for or ends
// the process.
struct LaunchedProcess {
    sys::UniqueKernelHandle process;
    sys::UniqueKernelHandle thread;
    DWORD processId = 0;
    DWORD threadId = 0;
};

// The command line: the path in quotation marks, then one blank and the arguments unchanged
// when there are any.
std::wstring InstallerCommandLine(const std::wstring& installerPath, const std::wstring& arguments);

// Starts the installer with that command line. Null when no process was created; the calling
// thread's last error is then the one CreateProcessW set.
std::unique_ptr<LaunchedProcess> StartInstaller(const std::wstring& installerPath, const std::wstring& arguments);

} // namespace gui
