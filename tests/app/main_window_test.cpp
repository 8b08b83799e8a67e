// The main window in this process under Wine, driven through its messages with a fake
// download coordinator, and checked by its geometry and its pixels.
#include "app/application.h"
#include "app/window_colors.h"
#include "download/window_messages.h"
#include "window_capture.h"

#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using wintest::Capture;
using wintest::Image;
using wintest::PumpFor;

constexpr COLORREF Green = RGB(26, 176, 119);
constexpr COLORREF BarBackground = RGB(230, 230, 230);
constexpr COLORREF Red = RGB(255, 0, 0);
constexpr UINT DpiChanged = 0x02E0;

// What the coordinator saw and what it answers.
struct FakeRun {
    int created = 0;
    int starts = 0;
    HWND window = nullptr;
    bool hadSettings = false;
    bool finishAtStart = false; // report the end from Start, as a failed preparation does
    std::string errorText;
    fs::path installerPath;
    fs::path checkedPath; // the file whose handle is handed over as checked; empty: the installer
};

class FakeDownloader final : public gui::InstallerDownloader {
public:
    explicit FakeDownloader(FakeRun& run) : run_(run) {}
    void Stop() override {}
    void Pause(bool) override {}
    void Start() override
    {
        ++run_.starts;
        if (run_.finishAtStart) {
            ::PostMessageW(run_.window, gui::WM_DOWNLOAD_STOPPED, 0, 0);
            ::PostMessageW(run_.window, gui::WM_DOWNLOAD_FINISHED, 0, 0);
        }
    }
    fs::path GetInstallerPath() const override { return run_.installerPath; }
    std::string GetErrorText() const override { return run_.errorText; }
    sys::UniqueFile TakeInstallerFile() override
    {
        const fs::path& checked = run_.checkedPath.empty() ? run_.installerPath : run_.checkedPath;
        return sys::UniqueFile(::CreateFileW(checked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }

private:
    FakeRun& run_;
};

gui::DownloaderFactory FactoryFor(FakeRun& run)
{
    return [&run](HWND window, std::shared_ptr<http::HttpSettings> settings) {
        ++run.created;
        run.window = window;
        run.hadSettings = settings != nullptr;
        return std::make_unique<FakeDownloader>(run);
    };
}

// The window's sizes at the DPIs the layout is specified for.
struct Geometry {
    int dpi, width, height, barMargin, barOffset, barHeight;
};
constexpr Geometry KnownGeometry[] = {
    {96, 600, 150, 10, 20, 15},
    {120, 750, 187, 12, 25, 18},
    {144, 900, 225, 15, 30, 22},
};

const Geometry* GeometryFor(int dpi)
{
    for (const auto& g : KnownGeometry)
        if (g.dpi == dpi)
            return &g;
    return nullptr;
}

int SystemDpi()
{
    const HDC dc = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSX);
    ::ReleaseDC(nullptr, dc);
    return dpi;
}

RECT WorkArea()
{
    RECT area{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

RECT WindowRect(HWND window)
{
    RECT rect{};
    ::GetWindowRect(window, &rect);
    return rect;
}

HWND FindBar(HWND window)
{
    return ::FindWindowExW(window, nullptr, PROGRESS_CLASSW, nullptr);
}

// The bar's rectangle in its parent's client coordinates.
RECT BarRect(HWND window, HWND bar)
{
    RECT rect = WindowRect(bar);
    ::MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool IsTopmost(HWND window)
{
    return (::GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

bool IsReddish(COLORREF c)
{
    return GetRValue(c) > 150 && GetGValue(c) < 110 && GetBValue(c) < 110;
}

bool IsDark(COLORREF c)
{
    return GetRValue(c) < 110 && GetGValue(c) < 110 && GetBValue(c) < 110;
}

// A horizontal band of rows holding text pixels, with the ink's horizontal extent.
struct TextLine {
    int top, bottom, left, right;
};

template <typename Pred>
std::vector<TextLine> TextLines(const Image& image, int rowLimit, Pred isInk)
{
    std::vector<TextLine> lines;
    bool inLine = false;
    for (int y = 0; y < rowLimit; ++y) {
        int left = image.width, right = -1;
        for (int x = 0; x < image.width; ++x) {
            if (isInk(image.At(x, y))) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        if (right < 0) {
            inLine = false;
            continue;
        }
        if (!inLine)
            lines.push_back({y, y, left, right});
        auto& line = lines.back();
        line.bottom = y;
        line.left = std::min(line.left, left);
        line.right = std::max(line.right, right);
        inLine = true;
    }
    return lines;
}

void SaveScreenshot(HWND window, const wchar_t* name)
{
    const char* folder = std::getenv("RORA_SCREENSHOT_DIR");
    if (!folder || !*folder)
        return;
    std::error_code ignored;
    fs::create_directories(fs::path(folder), ignored);
    wintest::SaveBmp(Capture(window, true), (fs::path(folder) / name).wstring());
}

// Runs the application's own message loop; closes the window after `seconds` if the loop has
// not ended by itself, and reports that in `timedOut`.
int RunLoop(gui::Application& app, int seconds, bool& timedOut)
{
    std::atomic<bool> done{false};
    std::atomic<bool> fired{false};
    const HWND window = app.Window();
    std::thread watchdog([&] {
        for (int i = 0; i < seconds * 20 && !done; ++i)
            ::Sleep(50);
        if (!done) {
            fired = true;
            ::PostMessageW(window, WM_CLOSE, 0, 0);
        }
    });
    const int code = app.RunMessageLoop();
    done = true;
    watchdog.join();
    timedOut = fired;
    return code;
}

class MainWindowTest : public ::testing::Test {
protected:
    gui::Application& Launch(const std::wstring& commandLine = L"")
    {
        app = std::make_unique<gui::Application>(::GetModuleHandleW(nullptr), SW_SHOWNORMAL, commandLine, FactoryFor(run));
        return *app;
    }

    void TearDown() override
    {
        if (app && ::IsWindow(app->Window()))
            ::DestroyWindow(app->Window());
        PumpFor(50);
        app.reset();
    }

    FakeRun run;
    std::unique_ptr<gui::Application> app;
};

using MainWindowLayout = MainWindowTest;

TEST_F(MainWindowLayout, SizePositionAndBarFollowTheDpi)
{
    const int dpi = SystemDpi();
    if (const char* expected = std::getenv("RORA_EXPECT_DPI")) {
        ASSERT_EQ(dpi, std::atoi(expected)) << "LogPixels did not reach the process";
    }
    const Geometry* g = GeometryFor(dpi);
    if (!g)
        GTEST_SKIP() << "no expectations for " << dpi << " DPI";

    Launch();
    ASSERT_TRUE(app->WindowCreated());
    const HWND window = app->Window();
    PumpFor(200);

    const RECT outer = WindowRect(window);
    EXPECT_EQ(outer.right - outer.left, g->width);
    EXPECT_EQ(outer.bottom - outer.top, g->height);
    const RECT area = WorkArea();
    EXPECT_EQ(outer.left, (area.right - g->width - area.left) / 2);
    EXPECT_EQ(outer.top, (area.bottom - g->height - area.top) / 2);
    EXPECT_TRUE(IsTopmost(window));
    EXPECT_TRUE(::IsWindowVisible(window));

    const HWND bar = FindBar(window);
    ASSERT_NE(bar, nullptr);
    RECT client{};
    ::GetClientRect(window, &client);
    const RECT barRect = BarRect(window, bar);
    EXPECT_EQ(barRect.left, g->barMargin);
    EXPECT_EQ(barRect.top, client.bottom - g->barOffset);
    EXPECT_EQ(barRect.right - barRect.left, client.right - 2 * g->barMargin);
    EXPECT_EQ(barRect.bottom - barRect.top, g->barHeight);
    // The same margin on both sides.
    EXPECT_EQ(client.right - barRect.right, barRect.left);

    ::PostMessageW(window, gui::WM_DOWNLOAD_PROGRESS, 40, 0);
    PumpFor(300);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 40);
    SaveScreenshot(window, (L"progress-" + std::to_wstring(dpi) + L".bmp").c_str());

    // 40 of 100: the left part in the bar colour, the rest in its background colour.
    const Image barImage = Capture(bar);
    ASSERT_GT(barImage.width, 0);
    const int middle = barImage.height / 2;
    EXPECT_EQ(barImage.At(barImage.width / 5, middle), Green);
    EXPECT_EQ(barImage.At(barImage.width * 4 / 5, middle), BarBackground);
    int filled = 0;
    for (int x = 0; x < barImage.width; ++x)
        filled += barImage.At(x, middle) == Green ? 1 : 0;
    EXPECT_NEAR(static_cast<double>(filled) / barImage.width, 0.40, 0.04);

    // "Preparing..." in black above the bar, centred, in a font of 16 pixels at 96 DPI.
    const Image clientImage = Capture(window);
    const auto lines = TextLines(clientImage, barRect.top, IsDark);
    ASSERT_EQ(lines.size(), 1u) << "one line of status text";
    const int charHeight = ::MulDiv(16, dpi, 96);
    const int ink = lines[0].bottom - lines[0].top + 1;
    EXPECT_GE(ink, charHeight * 85 / 100) << "text drawn smaller than the scaled font";
    EXPECT_LE(ink, charHeight) << "text drawn larger than the scaled font";
    // The ink is not quite symmetric within the glyphs' advance widths.
    EXPECT_NEAR((lines[0].left + lines[0].right) / 2.0, client.right / 2.0, charHeight / 4.0);
}

TEST_F(MainWindowLayout, CentredOnTheWorkAreaExtent)
{
    const Geometry* g = GeometryFor(SystemDpi());
    if (!g)
        GTEST_SKIP();
    RECT original = WorkArea();
    RECT shifted{100, 0, 1920, 1040};
    if (!::SystemParametersInfoW(SPI_SETWORKAREA, 0, &shifted, 0) || WorkArea().left != 100)
        GTEST_SKIP() << "the work area cannot be changed here";
    struct Restore {
        RECT area;
        ~Restore() { ::SystemParametersInfoW(SPI_SETWORKAREA, 0, &area, 0); }
    } restore{original};

    Launch();
    const RECT outer = WindowRect(app->Window());
    // The work area's left edge is subtracted, not added back: at 96 DPI (610, 445).
    EXPECT_EQ(outer.left, (1820 - g->width) / 2);
    EXPECT_EQ(outer.top, (1040 - g->height) / 2);
    if (g->dpi == 96) {
        EXPECT_EQ(outer.left, 610);
        EXPECT_EQ(outer.top, 445);
    }
}

TEST_F(MainWindowTest, DpiChangeResizesInPlaceAndStaysTopmost)
{
    Launch();
    const HWND window = app->Window();
    PumpFor(100);
    const RECT before = WindowRect(window);

    // The suggested rectangle is not used.
    static RECT suggested{5, 5, 105, 105};
    ::PostMessageW(window, DpiChanged, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    PumpFor(200);
    const RECT after = WindowRect(window);
    EXPECT_EQ(after.right - after.left, 900);
    EXPECT_EQ(after.bottom - after.top, 225);
    EXPECT_EQ(after.left, before.left);
    EXPECT_EQ(after.top, before.top);
    EXPECT_TRUE(IsTopmost(window));

    RECT client{};
    ::GetClientRect(window, &client);
    const RECT bar = BarRect(window, FindBar(window));
    EXPECT_EQ(bar.left, 15);
    EXPECT_EQ(bar.top, client.bottom - 30);
    EXPECT_EQ(bar.right - bar.left, client.right - 30);
    EXPECT_EQ(bar.bottom - bar.top, 22);

    ::PostMessageW(window, DpiChanged, MAKEWPARAM(120, 120), reinterpret_cast<LPARAM>(&suggested));
    PumpFor(200);
    const RECT back = WindowRect(window);
    EXPECT_EQ(back.right - back.left, 750);
    EXPECT_EQ(back.bottom - back.top, 187);
    EXPECT_EQ(back.left, before.left);
    EXPECT_TRUE(IsTopmost(window));
}

TEST_F(MainWindowTest, DownloadMessagesMoveRemoveAndFinishTheBar)
{
    const fs::path marker = fs::temp_directory_path() / ("rora-window-test-" + std::to_string(::GetCurrentProcessId()));
    std::error_code ignored;
    fs::remove(marker, ignored);
    // The "installer" is cmd.exe, which leaves a marker with the arguments it was given.
    run.installerPath = L"C:\\windows\\system32\\cmd.exe";
    Launch(L"/c echo started>\"" + marker.wstring() + L"\"");

    ASSERT_TRUE(app->WindowCreated());
    const HWND window = app->Window();
    EXPECT_EQ(run.created, 1);
    EXPECT_EQ(run.starts, 1);
    EXPECT_EQ(run.window, window);
    EXPECT_TRUE(run.hadSettings);

    const HWND bar = FindBar(window);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 0);
    // The bar shows the percentage it is sent, back to 0 when an attempt starts over.
    for (const WPARAM percent : {37, 0, 12, 100})
        ::PostMessageW(window, gui::WM_DOWNLOAD_PROGRESS, percent, 0);
    PumpFor(100);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 100);
    ::PostMessageW(window, gui::WM_DOWNLOAD_PROGRESS, 0, 0);
    PumpFor(100);
    EXPECT_EQ(::SendMessageW(bar, PBM_GETPOS, 0, 0), 0);

    ::PostMessageW(window, gui::WM_DOWNLOAD_STOPPED, 0, 0);
    PumpFor(100);
    EXPECT_FALSE(::IsWindow(bar));
    EXPECT_EQ(FindBar(window), nullptr);

    // A second stop and a late progress message change nothing.
    ::PostMessageW(window, gui::WM_DOWNLOAD_STOPPED, 0, 0);
    ::PostMessageW(window, gui::WM_DOWNLOAD_PROGRESS, 0, 0);
    PumpFor(100);
    EXPECT_TRUE(::IsWindow(window));
    EXPECT_EQ(FindBar(window), nullptr);
    EXPECT_EQ(app->Result(), 0);

    // An empty error text is a success: the installer starts and the window closes itself.
    ::PostMessageW(window, gui::WM_DOWNLOAD_FINISHED, 0, 0);
    bool timedOut = false;
    EXPECT_EQ(RunLoop(*app, 10, timedOut), 0);
    EXPECT_FALSE(timedOut) << "the window did not close after a successful download";
    EXPECT_FALSE(::IsWindow(window));

    for (int i = 0; i < 100 && !fs::exists(marker); ++i)
        ::Sleep(100);
    std::ifstream in(marker);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line.substr(0, 7), "started") << "the installer was not started with the command line";
    in.close();
    fs::remove(marker, ignored);
}

TEST_F(MainWindowTest, FailureTextIsRedWrappedAndCentred)
{
    run.errorText = "Connection Error: 7 Failed to connect to download.rora-rez.invalid port 443 after 2048 ms: "
                    "Could not connect to server while fetching the installer";
    Launch();
    const HWND window = app->Window();
    ::PostMessageW(window, gui::WM_DOWNLOAD_STOPPED, 0, 0);
    ::PostMessageW(window, gui::WM_DOWNLOAD_FINISHED, 0, 0);
    PumpFor(300);
    SaveScreenshot(window, L"failure.bmp");

    EXPECT_EQ(app->Result(), 1);
    EXPECT_EQ(FindBar(window), nullptr);
    const Image image = Capture(window);
    int pureRed = 0, dark = 0;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x) {
            pureRed += image.At(x, y) == Red ? 1 : 0;
            dark += IsDark(image.At(x, y)) ? 1 : 0;
        }
    EXPECT_GT(pureRed, 100) << "no text in RGB(255, 0, 0)";
    EXPECT_EQ(dark, 0) << "black text left on the window";

    const auto lines = TextLines(image, image.height, IsReddish);
    // Two headline lines and the failure's text wrapped onto at least two more.
    ASSERT_GE(lines.size(), 4u);
    for (const auto& line : lines) {
        EXPECT_GT(line.left, 0) << "a line touches the left edge: not wrapped";
        EXPECT_LT(line.right, image.width - 1) << "a line touches the right edge: not wrapped";
        EXPECT_NEAR((line.left + line.right) / 2.0, image.width / 2.0, 4.0) << "line at y " << line.top << " not centred";
    }
    // The lines differ in width, so equal centres mean centring, not one block.
    EXPECT_NE(lines[0].right - lines[0].left, lines[1].right - lines[1].left);
    // The block is vertically within the window, with room above and below.
    EXPECT_GT(lines.front().top, 0);
    EXPECT_LT(lines.back().bottom, image.height - 1);

    ::PostMessageW(window, WM_CLOSE, 0, 0);
    bool timedOut = false;
    EXPECT_EQ(RunLoop(*app, 10, timedOut), 1);
    EXPECT_FALSE(timedOut);
}

TEST_F(MainWindowTest, QuietRunEndsByItself)
{
    // A failed download in a quiet run: nobody can close the invisible window.
    run.finishAtStart = true;
    run.errorText = "Server Error: 404 Not Found";
    Launch(L"/quiet");
    ASSERT_TRUE(app->WindowCreated());
    EXPECT_EQ(run.starts, 1);
    EXPECT_FALSE(::IsWindowVisible(app->Window()));
    EXPECT_EQ(::FindWindowExW(HWND_MESSAGE, nullptr, gui::Application::WindowClassName, nullptr), app->Window())
        << "not a message-only window";
    bool timedOut = false;
    EXPECT_EQ(RunLoop(*app, 10, timedOut), 1);
    EXPECT_FALSE(timedOut) << "a failed quiet run must end by itself";
    app.reset();

    // A successful quiet run closes as well, with exit code 0.
    run = FakeRun{};
    run.finishAtStart = true;
    run.installerPath = L"C:\\windows\\system32\\cmd.exe";
    Launch(L"/quiet /c exit 0");
    EXPECT_EQ(RunLoop(*app, 10, timedOut), 0);
    EXPECT_FALSE(timedOut);
}

TEST_F(MainWindowTest, AProgramOtherThanTheCheckedFileIsNeverRun)
{
    // The checked handle is of another file than the one the path names: the started process is
    // ended before it runs, and the run fails.
    const fs::path marker = fs::temp_directory_path() / ("rora-window-other-" + std::to_string(::GetCurrentProcessId()));
    const fs::path other = fs::temp_directory_path() / ("rora-window-checked-" + std::to_string(::GetCurrentProcessId()));
    std::ofstream(other) << "checked";
    std::error_code ignored;
    fs::remove(marker, ignored);
    run.finishAtStart = true;
    run.installerPath = L"C:\\windows\\system32\\cmd.exe";
    run.checkedPath = other;
    Launch(L"/quiet /c echo started>\"" + marker.wstring() + L"\"");
    bool timedOut = false;
    EXPECT_EQ(RunLoop(*app, 10, timedOut), 1);
    EXPECT_FALSE(timedOut);
    ::Sleep(1000);
    EXPECT_FALSE(fs::exists(marker)) << "the installer ran";
    fs::remove(other, ignored);
    fs::remove(marker, ignored);
}

// The product's colours where they contrast with the window colour by 3:1, the scheme's window
// text elsewhere; with high contrast (which Wine cannot switch on) the scheme's colours only.
TEST(WindowColors, TheProductsColoursOnlyWhereTheyCanBeSeen)
{
    constexpr COLORREF White = RGB(255, 255, 255), Black = RGB(0, 0, 0), Blue = RGB(0, 120, 215);
    constexpr COLORREF Yellow = RGB(255, 255, 0), Cyan = RGB(26, 235, 255), Purple = RGB(55, 0, 110);
    const struct {
        const char* scheme;
        gui::ColorScheme given;
        gui::WindowColors chosen;
    } rows[] = {
        {"default", {false, White, Black, Blue}, {Black, Red, Green, BarBackground}},
        {"dark", {false, Black, White, Blue}, {White, Red, Green, BarBackground}},
        {"navy: black 1.3:1, red 4:1", {false, RGB(0, 0, 128), Yellow, Blue}, {Yellow, Red, Green, BarBackground}},
        {"grey 89: black 2.998:1", {false, RGB(89, 89, 89), White, Blue}, {White, White, Green, BarBackground}},
        {"grey 90: black 3.003:1", {false, RGB(90, 90, 90), White, Blue}, {Black, White, Green, BarBackground}},
        {"high contrast black", {true, Black, White, Cyan}, {White, White, Cyan, Black}},
        {"high contrast white", {true, White, Black, Purple}, {Black, Black, Purple, White}},
    };
    for (const auto& row : rows) {
        const gui::WindowColors chosen = gui::ChooseColors(row.given);
        EXPECT_EQ(chosen.text, row.chosen.text) << row.scheme;
        EXPECT_EQ(chosen.error, row.chosen.error) << row.scheme;
        EXPECT_EQ(chosen.bar, row.chosen.bar) << row.scheme;
        EXPECT_EQ(chosen.barBackground, row.chosen.barBackground) << row.scheme;
    }
}

TEST_F(MainWindowTest, RegisteredClassStopsStartup)
{
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    existing.lpfnWndProc = ::DefWindowProcW;
    existing.hInstance = ::GetModuleHandleW(nullptr);
    existing.lpszClassName = gui::Application::WindowClassName;
    ASSERT_NE(::RegisterClassExW(&existing), 0);

    Launch();
    EXPECT_FALSE(app->WindowCreated());
    EXPECT_EQ(app->Window(), nullptr);
    EXPECT_EQ(run.created, 0);
    app.reset();
    // The class the application did not register is still there.
    EXPECT_TRUE(::UnregisterClassW(gui::Application::WindowClassName, ::GetModuleHandleW(nullptr)));
}

} // namespace
