#pragma once

#include "download/installer_downloader.h"

#include <windows.h>

#include <memory>
#include <string>
#include <thread>

namespace http {
class HttpSettings;
}

namespace gui {

class MainInstallerDownloaderImpl;

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

private:
    std::unique_ptr<MainInstallerDownloaderImpl> impl_;
    std::thread worker_;
    std::string startError_;
};

} // namespace gui
