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

// Starts the installer at `installerPath` with that command line and its own folder as its
// current directory (the environment is this process's), suspended, and lets it run only
// when the program the system started is the very file `checkedFile` holds open (its signature was
// checked through that handle); otherwise it ends the process. The checked file is closed once the
// image is in place, before the installer runs, so that the installer may open itself. Null when
// no installer runs; the calling thread's last error then says why, `checkedFile` is still open
// unless the start got that far, and a process that was made and ended has had a few seconds to
// go, so that its file can be deleted.
std::unique_ptr<LaunchedProcess> StartInstaller(const std::wstring& installerPath, const std::wstring& arguments,
    sys::UniqueFile& checkedFile);

} // namespace gui
