// The real coordinator against the local test server: the messages the window receives, in
// order, and the texts it would show.
#include "download/main_installer_downloader.h"

#include "../config/product_key_fixture.h"
#include "../http/test_peers.h"
#include "build_settings.h"
#include "download/window_messages.h"
#include "http/http_settings.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;
using regtest::nativeView;

namespace {

std::string Server()
{
    const char* port = std::getenv("RORA_HTTP_PORT");
    return std::string("http://127.0.0.1:") + (port ? port : "1");
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

// The installer signed by the test publisher (tests/servers/start-signing.sh), as Wine names it.
fs::path SignedInstaller()
{
    const char* path = std::getenv("RORA_SIGNED_INSTALLER");
    return path ? fs::path(L"Z:" + Wide(path)).make_preferred() : fs::path();
}

std::string ReadAll(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

struct Outcome {
    std::vector<UINT> messages; // STOPPED, FINISHED and PROGRESS in arrival order
    std::vector<int> percents; // of the PROGRESS messages
    int progress = 0;
    bool finished = false;
};

class Coordinator : public regtest::ProductKeyTest {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }
    static void TearDownTestSuite() { curl_global_cleanup(); }

    void SetUp() override
    {
        regtest::ProductKeyTest::SetUp();
        window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        regtest::WriteRawString(nativeView, L"", L"XYZID", L"known");
    }

    void TearDown() override
    {
        downloader.reset();
        ::DestroyWindow(window);
        regtest::ProductKeyTest::TearDown();
    }

    void Link(const std::string& path) { regtest::WriteRawString(nativeView, L"Installation", L"QaInstallerDownloadLink", Wide(Server() + path)); }

    void Make(std::shared_ptr<http::HttpSettings> settings = std::make_shared<http::HttpSettings>())
    {
        downloader = std::make_unique<gui::MainInstallerDownloader>(window, std::move(settings));
    }

    // Pumps the window's messages until WM_DOWNLOAD_FINISHED or the time is up.
    Outcome Pump(std::chrono::seconds limit = std::chrono::seconds(60), int stopAfterProgress = -1)
    {
        Outcome run;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        MSG message;
        while (!run.finished && std::chrono::steady_clock::now() < deadline) {
            if (!::PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
                ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
                continue;
            }
            if (message.message == gui::WM_DOWNLOAD_PROGRESS) {
                run.percents.push_back(static_cast<int>(message.wParam));
                if (++run.progress == stopAfterProgress)
                    downloader->Stop();
            } else if (message.message >= WM_USER && message.message <= WM_USER + 2) {
                EXPECT_EQ(message.wParam, 0u);
            }
            if (message.message >= WM_USER && message.message <= WM_USER + 2) {
                EXPECT_EQ(message.lParam, 0);
                run.messages.push_back(message.message);
            }
            run.finished = message.message == gui::WM_DOWNLOAD_FINISHED;
        }
        return run;
    }

    static std::vector<UINT> Ending(const Outcome& run, size_t count)
    {
        std::vector<UINT> ending;
        for (const UINT m : run.messages)
            if (m != gui::WM_DOWNLOAD_PROGRESS)
                ending.push_back(m);
        return ending.size() >= count ? std::vector<UINT>(ending.end() - static_cast<long>(count), ending.end()) : ending;
    }

    HWND window = nullptr;
    std::unique_ptr<gui::MainInstallerDownloader> downloader;
};

constexpr UINT Stopped = gui::WM_DOWNLOAD_STOPPED;
constexpr UINT Finished = gui::WM_DOWNLOAD_FINISHED;

} // namespace

TEST_F(Coordinator, DownloadsIntoAFreshFolderAndReportsProgress)
{
    // In pieces: a loopback transfer can arrive whole between two progress reports.
    Link("/signed/fake_installer-signed.exe?pieces=20");
    Make();
    const auto started = std::chrono::steady_clock::now();
    downloader->Start();
    const Outcome run = Pump();
    const auto finished = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(downloader->GetErrorText(), "");
    // The moments the benchmarks measure: all set, in order, before the final message.
    const gui::DownloadTimes times = downloader->GetDownloadTimes();
    EXPECT_LT(started, times.transferStarted);
    EXPECT_LT(times.transferStarted, times.transferEnded);
    EXPECT_LT(times.transferEnded, times.checkAnswered);
    EXPECT_LT(times.checkAnswered, finished);
    EXPECT_EQ(Ending(run, 2), (std::vector<UINT>{Stopped, Finished}));
    EXPECT_EQ(run.messages.back(), Finished);
    EXPECT_GE(run.progress, 1);
    EXPECT_EQ(run.percents.back(), 100);

    const fs::path path = downloader->GetInstallerPath();
    EXPECT_EQ(path.filename(), L"" RORA_INSTALLER_FILE_NAME);
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(::GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    EXPECT_EQ(path.parent_path().parent_path(), fs::path(windows) / L"Temp") << "an elevated run downloads into the system's Temp";
    // Handed over still open, as it was checked; once that handle is closed others may read it.
    sys::UniqueFile checked = downloader->TakeInstallerFile();
    EXPECT_TRUE(checked);
    EXPECT_EQ(ReadAll(path), "") << "the checked file could be opened without delete sharing";
    checked.Reset();
    const std::string downloaded = ReadAll(path), served = ReadAll(SignedInstaller());
    EXPECT_TRUE(downloaded == served) << downloaded.size() << " bytes downloaded, " << served.size() << " served from "
                                      << SignedInstaller().string();
}

TEST_F(Coordinator, WithoutALengthTheBarNeverMoves)
{
    Link("/signed/fake_installer-signed.exe?pieces=10&length=none");
    Make();
    downloader->Start();
    const Outcome run = Pump();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(downloader->GetErrorText(), "");
    EXPECT_EQ(run.progress, 0);
    EXPECT_EQ(fs::file_size(downloader->GetInstallerPath()), fs::file_size(SignedInstaller()));
}

TEST_F(Coordinator, TheBarShowsThePercentageOfTheFileReceived)
{
    // A redirect's own answer never moves the bar.
    Link("/redirect?to=/paced/3000000%3Fpieces%3D20");
    Make();
    downloader->Start();
    Outcome run = Pump();
    ASSERT_TRUE(run.finished);
    ASSERT_GE(run.percents.size(), 2u);
    EXPECT_TRUE(std::is_sorted(run.percents.begin(), run.percents.end()));
    EXPECT_EQ(run.percents.back(), 100);

    // The first GET breaks off halfway through the first proxy; the second proxy brings it all:
    // the bar rises, goes back to 0 once, and rises to 100.
    Link("/flaky/" + peers::Token() + "/3000000?pieces=20");
    Make(std::make_shared<peers::FixedSettings>(
        std::vector{peers::LocalProxy("RORA_PROXY_PORT"), peers::LocalProxy("RORA_PROXY_PORT")}, http::ProxyCredentials{}));
    downloader->Start();
    run = Pump();
    ASSERT_TRUE(run.finished);
    const auto fallback = std::find(run.percents.begin(), run.percents.end(), 0);
    ASSERT_NE(fallback, run.percents.end()) << "the bar never went back";
    EXPECT_NE(fallback, run.percents.begin()) << "the first attempt never moved the bar";
    EXPECT_TRUE(std::is_sorted(run.percents.begin(), fallback) && std::is_sorted(fallback, run.percents.end()));
    EXPECT_EQ(run.percents.back(), 100);

    // A compressed answer: more bytes reach the file than the announced total; the bar ends at 100.
    Link("/gzip/3000000");
    Make();
    downloader->Start();
    run = Pump();
    ASSERT_TRUE(run.finished);
    ASSERT_FALSE(run.percents.empty());
    EXPECT_EQ(run.percents.back(), 100);
}

TEST_F(Coordinator, TransferFailuresBecomeTheWorkerError)
{
    const struct {
        const char* link;
        const char* error;
    } cases[] = {
        {"/status/404?body=gone", "HTTP (Error: 404) Not Found"},
        {"/drop/500000?after=100000", "Connection Error: 18"},
        // A complete download that is not the publisher's signed program: refused and deleted.
        {"/bytes/100000", "The installer's signature could not be verified: the file is not signed."},
    };
    for (const auto& failure : cases) {
        Link(failure.link);
        Make();
        downloader->Start();
        const Outcome run = Pump();
        ASSERT_TRUE(run.finished) << failure.link;
        EXPECT_EQ(downloader->GetErrorText(), failure.error);
        EXPECT_EQ(Ending(run, 2), (std::vector<UINT>{Stopped, Finished})) << failure.link;
        EXPECT_FALSE(downloader->TakeInstallerFile()) << failure.link;
    }
    EXPECT_FALSE(fs::exists(downloader->GetInstallerPath())) << "the refused file is still there";
}

TEST_F(Coordinator, PreparationFailuresStartNoWorker)
{
    Link("/status/200/");
    Make();
    downloader->Start();
    Outcome run = Pump(std::chrono::seconds(30));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(downloader->GetErrorText(), "Internal Error: Failed to query content information");
    EXPECT_EQ(run.messages, (std::vector<UINT>{Stopped, Finished}));

    regtest::WriteRawString(nativeView, L"Installation", L"QaInstallerDownloadLink", L"http://127.0.0.1:1/x.exe");
    Make();
    downloader->Start();
    run = Pump(std::chrono::seconds(30));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(downloader->GetErrorText(), "Connection Error: 7");

    // A broken parameter answer on a first run ends the preparation as internal error 107.
    Clean();
    Link("/bytes/10");
    regtest::WriteRawString(nativeView, L"Installation", L"QaBootstrapperRequestParamsLink",
        Wide(Server() + "/status/200?body=%7B%22installer_url%22%3A5%7D&id="));
    Make();
    downloader->Start();
    run = Pump(std::chrono::seconds(30));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(downloader->GetErrorText().rfind("Internal Error: [json.exception.type_error", 0), 0u) << downloader->GetErrorText();
}

TEST_F(Coordinator, StopCancelsTheTransfer)
{
    Link("/paced/3000000?pieces=300");
    Make();
    downloader->Start();
    const Outcome run = Pump(std::chrono::seconds(60), 1);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(downloader->GetErrorText(), "An operation was cancelled by a user.");
    EXPECT_EQ(Ending(run, 3), (std::vector<UINT>{Stopped, Stopped, Finished}));
}

TEST_F(Coordinator, DestroyingItDuringATransferEndsThatTransfer)
{
    Link("/drip?interval=0.2");
    Make();
    downloader->Start();
    ::Sleep(1500);
    const auto before = std::chrono::steady_clock::now();
    downloader.reset();
    const auto waited = std::chrono::steady_clock::now() - before;
    EXPECT_LT(waited, std::chrono::seconds(3)) << "the destructor waited for the whole transfer";
}
