#pragma once

#include "download/installer_downloader.h"

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace http {
class HttpSettings;
}

namespace gui {

class MainInstallerDownloaderImpl;

// When the worker's steps happened, on the steady clock: the GET's start, the end of the transfer
// (the file written and closed) and the signature check's answer. A step not reached keeps the
// clock's epoch.
struct DownloadTimes {
    std::chrono::steady_clock::time_point transferStarted;
    std::chrono::steady_clock::time_point transferEnded;
    std::chrono::steady_clock::time_point checkAnswered;
};

class MainInstallerDownloader : public InstallerDownloader {
public:
    MainInstallerDownloader(HWND window, std::shared_ptr<http::HttpSettings> settings);
    ~MainInstallerDownloader() override;
    MainInstallerDownloader(const MainInstallerDownloader&) = delete;
    MainInstallerDownloader& operator=(const MainInstallerDownloader&) = delete;

    void Stop() override;
    void Pause(bool pause) override;
    void Start() override;
    std::filesystem::path GetInstallerPath() const override;
    std::string GetErrorText() const override;
    sys::UniqueFile TakeInstallerFile() override;
    // For measurements; valid after WM_DOWNLOAD_FINISHED.
    DownloadTimes GetDownloadTimes() const;

private:
    std::unique_ptr<MainInstallerDownloaderImpl> impl_;
    std::thread worker_;
    std::string startError_;
};

} // namespace gui
