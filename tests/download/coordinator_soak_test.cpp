// One long-lived process runs the real coordinator many times over, successes and failures
// mixed: its handles and its GDI and USER objects must come back to where they started.
#include "download/main_installer_downloader.h"

#include "../config/product_key_fixture.h"
#include "download/window_messages.h"
#include "http/http_settings.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using regtest::nativeView;

namespace {

std::wstring Link(const std::string& path)
{
    const char* port = std::getenv("RORA_HTTP_PORT");
    const std::string url = std::string("http://127.0.0.1:") + (port ? port : "1") + path;
    return std::wstring(url.begin(), url.end());
}

struct Counts {
    DWORD handles = 0;
    DWORD gdi = 0;
    DWORD user = 0;
};

Counts Now()
{
    Counts counts;
    ::GetProcessHandleCount(::GetCurrentProcess(), &counts.handles);
    counts.gdi = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
    counts.user = ::GetGuiResources(::GetCurrentProcess(), GR_USEROBJECTS);
    return counts;
}

// One run: a window, a coordinator, its messages until the end; returns the error text.
std::string RunOnce()
{
    HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    std::string error = "no end";
    {
        gui::MainInstallerDownloader downloader(window, std::make_shared<http::HttpSettings>());
        downloader.Start();
        const DWORD deadline = ::GetTickCount() + 30000;
        MSG message;
        while (::GetTickCount() < deadline) {
            if (!::PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
                ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
                continue;
            }
            if (message.message == gui::WM_DOWNLOAD_FINISHED) {
                error = downloader.GetErrorText();
                std::error_code ignored;
                std::filesystem::remove_all(downloader.GetInstallerPath().parent_path(), ignored);
                break;
            }
        }
    }
    ::DestroyWindow(window);
    return error;
}

} // namespace

class CoordinatorSoak : public regtest::ProductKeyTest {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }
    static void TearDownTestSuite() { curl_global_cleanup(); }
};

TEST_F(CoordinatorSoak, ResourcesComeBackAfterManyRuns)
{
    regtest::WriteRawString(nativeView, L"", L"XYZID", L"known");
    const std::wstring links[] = {Link("/signed/fake_installer-signed.exe"), Link("/bytes/200000"), Link("/status/404"),
        Link("/drop/300000?after=1000"), L"http://127.0.0.1:1/refused.exe", Link("/status/200/")};
    const std::string outcomes[] = {"", "The installer's signature could not be verified: the file is not signed.",
        "HTTP (Error: 404) Not Found", "Connection Error: 18", "Connection Error: 7",
        "Internal Error: Failed to query content information"};

    // A first round loads what stays loaded (libraries, Winsock, the resolver's thread).
    for (const auto& link : links) {
        regtest::WriteRawString(nativeView, L"Installation", L"QaInstallerDownloadLink", link);
        RunOnce();
    }
    const Counts before = Now();
    for (int round = 0; round < 8; ++round) {
        for (size_t i = 0; i < std::size(links); ++i) {
            regtest::WriteRawString(nativeView, L"Installation", L"QaInstallerDownloadLink", links[i]);
            ASSERT_EQ(RunOnce(), outcomes[i]) << "round " << round;
        }
    }
    const Counts after = Now();
    // Wine's resolver and socket layers may keep a handle or two warm between runs; a leak
    // per run would show as dozens.
    EXPECT_LE(after.handles, before.handles + 3) << "handles " << before.handles << " -> " << after.handles;
    EXPECT_EQ(after.gdi, before.gdi);
    EXPECT_EQ(after.user, before.user);
}
