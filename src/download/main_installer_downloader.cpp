#include "download/main_installer_downloader.h"

#include "config/bootstrapper_parameters.h"
#include "config/download_links.h"
#include "config/registry.h"
#include "download/destination.h"
#include "download/window_messages.h"
#include "http/curl_http_client.h"
#include "http/errors.h"
#include "sys/scope_guard.h"
#include "text/text_conversion.h"
#include "trust/installer_trust.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <system_error>

namespace gui {
namespace {

// All the network work before the window appears (proxy discovery, the parameter request, the
// content-information request) ends within this time. The parameter request may not use the
// last share of it, which is kept for the content-information request, whose failure is shown.
constexpr std::chrono::seconds preparationBudget{45};
constexpr std::chrono::seconds contentInformationShare{15};

void Post(HWND window, UINT message, WPARAM wParam = 0) noexcept
{
    ::PostMessageW(window, message, wParam, 0);
}

// The text the window shows for a failure, by the kind of exception in flight. Call only
// from a catch block.
std::string DescribeCurrentException() noexcept
{
    try {
        try {
            throw;
        } catch (const common::internal_error& error) {
            return error.what();
        } catch (const http::cancel_error& error) {
            return error.what();
        } catch (const http::connection_error& error) {
            return error.what();
        } catch (const http::server_error& error) {
            return http::HttpStatusText(error.code);
        } catch (const std::exception& error) {
            // Registry, file-system, stream, JSON and thread failures alike.
            return common::InternalErrorMessage(common::InternalCode::Failure, error.what());
        } catch (...) {
            return common::InternalErrorMessage(common::InternalCode::Unknown);
        }
    } catch (...) {
        // Building the text itself failed (out of memory); keep a fixed one.
        return "Internal Error: Unknown error";
    }
}

// The whole percentage of a progress report, from 0 to 100; 0 while the total is unknown.
int WholePercent(double total, double now)
{
    const double percent = now / total * 100.0;
    if (!std::isfinite(percent))
        return 0;
    return static_cast<int>(std::clamp(percent, 0.0, 100.0));
}

} // namespace

class MainInstallerDownloaderImpl {
public:
    MainInstallerDownloaderImpl(HWND window, std::shared_ptr<http::HttpSettings> settings)
        : window_(window)
        , settings_(std::move(settings))
    {
    }

    ~MainInstallerDownloaderImpl() { SignalStopped(); }

    void Prepare()
    {
        const auto started = std::chrono::steady_clock::now();
        const auto noDeadline = sys::ScopeGuard([this] { SetDeadline(http::Deadline()); });
        SetDeadline(started + preparationBudget - contentInformationShare);
        FetchBootstrapperParameters();
        SetDeadline(started + preparationBudget);
        const std::string url = DownloadLinks::Instance()->InstallerDownloadUrl();
        stop_.exchange(false);
        CreateClient();
        RequireClient();

        // Held open until the installer has started, so the folder stays the one made here.
        folder_ = MakeUniqueDirectory();
        const std::filesystem::path& folder = folder_.path;
        if (folder.empty())
            throw common::internal_error(common::InternalCode::NoDestinationFolder);
        destination_ = folder / InstallerFileName;
        // The folder is held open without delete sharing: if its path no longer leads to it,
        // something redirected it, and a folder made again there would lack its protection.
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error))
            throw common::internal_error(common::InternalCode::Failure,
                "The download folder " + text::ToUtf8(folder.wstring()) + " has gone");

        // Without a length, the download's own write errors tell when the disk is full.
        const http::ContentInfo info = QueryContentInfo(url);
        if (info.contentLength && !HasEnoughFreeSpace(folder, *info.contentLength))
            throw common::internal_error(common::InternalCode::NotEnoughSpace, NarrowPath(destination_));
    }

    // The worker's body: every failure ends as the worker error, and the window always hears
    // WM_DOWNLOAD_STOPPED then WM_DOWNLOAD_FINISHED.
    void Download() noexcept
    {
        try {
            workerError_.clear();
            times_ = DownloadTimes{};
            RequireClient();
            const std::string url = DownloadLinks::Instance()->InstallerDownloadUrl();
            times_.transferStarted = std::chrono::steady_clock::now();
            const http::DownloadResult result = client_->DownloadFile(url, destination_.wstring(),
                [this](double total, double now) { return OnProgress(total, now); });
            times_.transferEnded = std::chrono::steady_clock::now();
            http::CheckHttpStatus(result.status, std::string());
            CheckDownloadedInstaller();
            times_.checkAnswered = std::chrono::steady_clock::now();
        } catch (...) {
            workerError_ = DescribeCurrentException();
        }
        SignalStopped();
        Post(window_, WM_DOWNLOAD_FINISHED);
    }

    void SignalStopped() noexcept
    {
        stop_.exchange(true);
        Post(window_, WM_DOWNLOAD_STOPPED);
    }

    void RaiseStopFlag() noexcept { stop_.exchange(true); }

    void Pause(bool pause)
    {
        RequireClient();
        client_->Pause(pause);
    }

    sys::UniqueFile TakeInstallerFile() noexcept { return std::move(installerFile_); }
    HWND Window() const noexcept { return window_; }
    const std::filesystem::path& Destination() const noexcept { return destination_; }
    const std::string& WorkerError() const noexcept { return workerError_; }
    const DownloadTimes& Times() const noexcept { return times_; }

private:
    void FetchBootstrapperParameters() { config::FetchBootstrapperParameters(settings_); }

    // The deadline of every request and proxy discovery made with the settings; none while the
    // worker downloads, which keeps its own limits.
    void SetDeadline(http::Deadline deadline) noexcept
    {
        if (settings_)
            settings_->SetDeadline(deadline);
    }

    void CreateClient()
    {
        if (!settings_)
            return;
        try {
            client_ = std::make_shared<http::CurlHttpClient>(settings_);
        } catch (const std::exception&) {
            // Reported below as "no client".
        }
        if (!client_)
            throw common::internal_error(common::InternalCode::HttpNotInitialised);
    }

    void RequireClient() const
    {
        if (!client_)
            throw common::internal_error(common::InternalCode::NoHttpClient);
    }

    http::ContentInfo QueryContentInfo(const std::string& url)
    {
        RequireClient();
        http::ContentInfo info = client_->GetContentInfo(url);
        if (info.fileName.empty())
            throw common::internal_error(common::InternalCode::NoContentInformation);
        return info;
    }

    // A downloaded installer is started only when its signature is the publisher's; one that is
    // not is deleted. The file stays open until it is started, so what runs is what was checked.
    void CheckDownloadedInstaller()
    {
        trust::CheckedInstaller checked = trust::CheckInstaller(destination_);
        if (!checked.Trusted()) {
            if (checked.file)
                DeleteThroughHandle(checked.file.Get());
            workerError_ = checked.failure;
            return;
        }
        installerFile_ = std::move(checked.file);
    }

    // Runs on the worker for every progress report of the transfer: cheap, never blocks.
    bool OnProgress(double total, double now) noexcept
    {
        const int percent = WholePercent(total, now);
        if (percent != lastPostedPercent_) {
            lastPostedPercent_ = percent;
            Post(window_, WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(percent));
        }
        return !stop_.load();
    }

    static std::string NarrowPath(const std::filesystem::path& path)
    {
        try {
            return path.string();
        } catch (const std::exception&) {
            return std::string();
        }
    }

    const HWND window_;
    int lastPostedPercent_ = 0;
    std::shared_ptr<http::HttpClient> client_;
    std::shared_ptr<http::HttpSettings> settings_;
    std::atomic<bool> stop_{false};
    UniqueDirectory folder_;
    std::filesystem::path destination_;
    sys::UniqueFile installerFile_;
    std::string workerError_;
    DownloadTimes times_; // like the worker error: written before WM_DOWNLOAD_FINISHED
};

MainInstallerDownloader::MainInstallerDownloader(HWND window, std::shared_ptr<http::HttpSettings> settings)
    : impl_(std::make_unique<MainInstallerDownloaderImpl>(window, std::move(settings)))
{
}

MainInstallerDownloader::~MainInstallerDownloader()
{
    // A user who closes the window during a transfer wants it to end, not to wait for it:
    // the transfer stops at its next progress report.
    impl_->RaiseStopFlag();
    if (worker_.joinable())
        worker_.join();
}

void MainInstallerDownloader::Stop()
{
    impl_->SignalStopped();
}

void MainInstallerDownloader::Pause(bool pause)
{
    impl_->Pause(pause);
}

void MainInstallerDownloader::Start()
{
    startError_.clear();
    if (worker_.joinable()) {
        startError_ = common::InternalErrorMessage(common::InternalCode::Failure, "the download has already been started");
    } else {
        try {
            impl_->Prepare();
            worker_ = std::thread([this]() noexcept { impl_->Download(); });
            return;
        } catch (...) {
            startError_ = DescribeCurrentException();
        }
    }
    impl_->SignalStopped();
    Post(impl_->Window(), WM_DOWNLOAD_FINISHED);
}

std::filesystem::path MainInstallerDownloader::GetInstallerPath() const
{
    return impl_->Destination();
}

std::string MainInstallerDownloader::GetErrorText() const
{
    return startError_.empty() ? impl_->WorkerError() : startError_;
}

sys::UniqueFile MainInstallerDownloader::TakeInstallerFile()
{
    return impl_->TakeInstallerFile();
}

DownloadTimes MainInstallerDownloader::GetDownloadTimes() const
{
    return impl_->Times();
}

} // namespace gui
