#pragma once

#include "sys/handles.h"

#include <filesystem>
#include <string>

namespace gui {

// The download coordinator as the window sees it.
class InstallerDownloader {
public:
    virtual ~InstallerDownloader() = default;
    virtual void Stop() = 0;
    virtual void Pause(bool pause) = 0;
    // Prepares on the calling thread and starts the transfer on a worker; reports the end
    // with WM_DOWNLOAD_STOPPED then WM_DOWNLOAD_FINISHED.
    virtual void Start() = 0;
    // Valid after WM_DOWNLOAD_FINISHED.
    virtual std::filesystem::path GetInstallerPath() const = 0;
    // UTF-8; empty after a success. Valid after WM_DOWNLOAD_FINISHED.
    virtual std::string GetErrorText() const = 0;
    // After a success: the installer file as its signature was checked, still open with read
    // sharing only, for StartInstaller to compare with what it starts. Invalid otherwise.
    virtual sys::UniqueFile TakeInstallerFile() = 0;
};

} // namespace gui
