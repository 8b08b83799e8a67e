// One download through the program's own path: the real coordinator with its progress callback
// posting to a real window, the message loop counting what arrives. The links come from the
// registry overrides, as in the program. Prints one line of figures, all measured in this process,
// and the installer's path as the coordinator reports it:
//   entered_ms=... started_ms=... prepare_ms=... transfer_ms=... check_ms=... whole_ms=... progress_messages=...
//   last_percent=... stopped_messages=... bytes=... peak_working_set=... peak_pagefile=... error=...
//   installer=C:\...\<the installer's file name>
// prepare_ms is Start (the preparation on this thread), transfer_ms the worker's GET until the file
// is written and closed, check_ms the signature check after it, whole_ms Start until
// WM_DOWNLOAD_FINISHED.
// With --window-only it instead shows an empty visible window titled "Rora Bench Window" until
// it is closed: Wine's own cost of starting a program and showing a window. With --close TITLE
// it posts WM_CLOSE to the top-level window of that title, as its close button does. With
// --parse-answers it times the program's handling of 1 MiB parameter answers of the costliest
// shapes, one line each:
//   answer=NAME bytes=... members=... accepted=0|1 ms=...
#include <curl/curl.h>

#include "sys/system_library.h"
#include "sys/unique_resource.h"
#include "config/bootstrapper_parameters.h"
#include "download/main_installer_downloader.h"
#include "download/window_messages.h"
#include "http/http_settings.h"
#include "text/text_conversion.h"
#include "trust/installer_trust.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace {

using UniqueWindow = sys::UniqueResource<HWND, &::DestroyWindow>;

struct CurlGlobal {
    CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
    CurlGlobal() = default;
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    ~CurlGlobal()
    {
        if (code == CURLE_OK)
            curl_global_cleanup();
    }
};

struct Counts {
    unsigned progress = 0;
    unsigned lastPercent = 0; // where the window's bar stands
    unsigned stopped = 0;
    bool finished = false;
};

constexpr wchar_t BenchClassName[] = L"RoraDownloadBench";

LRESULT CALLBACK BenchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) noexcept
{
    auto* counts = reinterpret_cast<Counts*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (counts) {
        switch (message) {
        case gui::WM_DOWNLOAD_PROGRESS:
            ++counts->progress;
            counts->lastPercent = static_cast<unsigned>(wParam);
            return 0;
        case gui::WM_DOWNLOAD_STOPPED:
            ++counts->stopped;
            return 0;
        case gui::WM_DOWNLOAD_FINISHED:
            counts->finished = true;
            return 0;
        default:
            break;
        }
    }
    if (message == WM_DESTROY && !counts)
        ::PostQuitMessage(0);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterBenchClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &BenchWindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = BenchClassName;
    return ::RegisterClassExW(&windowClass) != 0;
}

// The reference for the start-up figure: a program that does nothing but show a window.
int ShowEmptyWindow(HINSTANCE instance)
{
    UniqueWindow window(::CreateWindowExW(WS_EX_TOPMOST, BenchClassName, L"Rora Bench Window",
        WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT, 600, 150, nullptr, nullptr, instance, nullptr));
    if (!window)
        return 2;
    ::ShowWindow(window.Get(), SW_SHOWNORMAL);
    ::UpdateWindow(window.Get());
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    window.Release(); // destroyed by the default handling of WM_CLOSE
    return 0;
}

// Keystrokes sent to a closing window can reach the next program's window under Wine; a posted
// WM_CLOSE reaches only its own window.
int CloseWindowTitled(const char* title)
{
    const std::string narrow(title);
    const std::wstring wide(narrow.begin(), narrow.end());
    for (int attempt = 0; attempt < 500; ++attempt) {
        if (const HWND window = ::FindWindowW(nullptr, wide.c_str()))
            return ::PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 2;
        ::Sleep(10);
    }
    return 1;
}

std::uintmax_t FileSize(const std::filesystem::path& path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// Milliseconds since the process was created (Wine's own start-up included).
double MsSinceProcessStart()
{
    FILETIME created{}, exited{}, kernel{}, user{}, now{};
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    ::GetSystemTimeAsFileTime(&now);
    const auto ticks = [](const FILETIME& time) {
        return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(ticks(now) - ticks(created)) / 10000.0;
}

int RunDownload(HINSTANCE instance, double enteredMs)
{
    const CurlGlobal curl;
    if (curl.code != CURLE_OK) {
        std::printf("error=curl_global_init %d\n", static_cast<int>(curl.code));
        return 2;
    }

    // A message-only window: it takes posted messages like the program's window, and needs no
    // display.
    UniqueWindow window(::CreateWindowExW(0, BenchClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr));
    if (!window) {
        std::printf("error=CreateWindowExW %lu\n", ::GetLastError());
        return 2;
    }
    Counts counts;
    ::SetWindowLongPtrW(window.Get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&counts));

    using Clock = std::chrono::steady_clock;
    const auto ms = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    };
    std::string error;
    std::filesystem::path installer;
    double wholeMs = 0;
    double prepareMs = 0;
    double transferMs = 0;
    double checkMs = 0;
    double setupMs = 0;
    {
        setupMs = MsSinceProcessStart();
        const auto started = Clock::now();
        gui::MainInstallerDownloader downloader(window.Get(), std::make_shared<http::HttpSettings>());
        downloader.Start();
        prepareMs = ms(started, Clock::now());
        MSG message;
        while (!counts.finished && ::GetMessageW(&message, nullptr, 0, 0) > 0)
            ::DispatchMessageW(&message);
        wholeMs = ms(started, Clock::now());
        error = downloader.GetErrorText();
        installer = downloader.GetInstallerPath();
        const gui::DownloadTimes times = downloader.GetDownloadTimes();
        transferMs = ms(times.transferStarted, times.transferEnded);
        checkMs = ms(times.transferEnded, times.checkAnswered);
        if (error.empty() && (times.transferStarted < started || times.transferEnded < started || times.checkAnswered < started))
            error = "the coordinator did not record when the transfer and the check happened";
    }
    ::SetWindowLongPtrW(window.Get(), GWLP_USERDATA, 0);

    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));

    std::printf("entered_ms=%.1f started_ms=%.1f prepare_ms=%.1f transfer_ms=%.1f check_ms=%.1f whole_ms=%.1f progress_messages=%u "
                "last_percent=%u stopped_messages=%u bytes=%llu peak_working_set=%lu peak_pagefile=%lu error=%s\n",
        enteredMs, setupMs, prepareMs, transferMs, checkMs, wholeMs, counts.progress, counts.lastPercent, counts.stopped,
        static_cast<unsigned long long>(FileSize(installer)),
        static_cast<unsigned long>(memory.PeakWorkingSetSize), static_cast<unsigned long>(memory.PeakPagefileUsage),
        error.empty() ? "none" : error.c_str());
    std::printf("installer=%s\n", text::ToUtf8(installer.wstring()).c_str());
    std::fflush(stdout);
    return error.empty() ? 0 : 1;
}

constexpr std::size_t AnswerSize = 1024 * 1024;

// A digit string of fixed width, so that keys differ only in their last characters.
std::string Numbered(std::size_t value, std::size_t width)
{
    std::string digits = std::to_string(value);
    return std::string(width - std::min(width, digits.size()), '0') + digits;
}

struct Answer {
    const char* name;
    std::string body;
};

// The shapes that cost most per byte: the most members the program takes, with long keys that
// share all but their last characters (each new member is compared with every earlier one);
// nesting at the depth limit over and over; a long array; a long escaped string; and the
// 60,000-key answer that the member limit refuses.
std::vector<Answer> CostlyAnswers()
{
    std::vector<Answer> answers;
    const auto object = [](std::size_t members, std::size_t keyLength) {
        std::string body = "{";
        for (std::size_t i = 0; i < members; ++i) {
            body += i ? ",\"" : "\"";
            body += std::string(keyLength - 8, 'k') + Numbered(i, 8) + "\":0";
        }
        return body + "}";
    };
    answers.push_back({"5000 members, keys sharing a prefix", object(5000, AnswerSize / 5000 - 6)});
    answers.push_back({"60000 members (refused)", object(60000, 10)});

    std::string nested = "[";
    const std::string block = std::string(511, '[') + std::string(511, ']') + ",";
    while (nested.size() + block.size() < AnswerSize)
        nested += block;
    answers.push_back({"512 levels deep, repeated", nested + "0]"});

    std::string array = "[";
    while (array.size() < AnswerSize - 2)
        array += "0,";
    answers.push_back({"a long array of numbers", array + "0]"});

    std::string escaped = "[\"";
    while (escaped.size() < AnswerSize - 8)
        escaped += "\\u00e9";
    answers.push_back({"a long string of escapes", escaped + "\"]"});
    return answers;
}

// What the program does with an answer: parse it, take out the two links, serialise the rest.
// The median of three runs.
int ParseAnswers()
{
    for (const Answer& answer : CostlyAnswers()) {
        std::vector<double> times;
        std::size_t members = 0;
        bool accepted = false;
        for (int run = 0; run < 3; ++run) {
            const auto started = std::chrono::steady_clock::now();
            nlohmann::ordered_json parsed = config::ParseParameterAnswer(answer.body);
            accepted = !parsed.is_null();
            for (const char* link : {"installer_url", "msi_url"})
                if (parsed.is_object() && parsed.contains(link))
                    parsed.erase(link);
            const std::string stored = parsed.dump();
            times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
            members = parsed.is_object() ? parsed.size() : 0;
            if (stored.empty())
                return 1;
        }
        std::sort(times.begin(), times.end());
        std::printf("answer=%s bytes=%u members=%u accepted=%d ms=%.1f\n", answer.name, static_cast<unsigned>(answer.body.size()),
            static_cast<unsigned>(members), accepted ? 1 : 0, times[times.size() / 2]);
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

// The installer's signature check of one file, as the worker runs it after a download: the first
// check of the process (which loads and sets up the system's verification) and a second one.
int TimeCheck(const char* path)
{
    const std::filesystem::path file(path);
    double ms[2] = {};
    bool trusted = true;
    for (double& time : ms) {
        const auto started = std::chrono::steady_clock::now();
        const trust::CheckedInstaller checked = trust::CheckInstaller(file);
        time = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        trusted = trusted && checked.Trusted();
    }
    std::printf("first_ms=%.1f again_ms=%.1f trusted=%d\n", ms[0], ms[1], trusted ? 1 : 0);
    return trusted ? 0 : 1;
}

int main(int argc, char** argv)
{
    const double enteredMs = MsSinceProcessStart();
    sys::RestrictDllSearchToSystem();
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    if (!RegisterBenchClass(instance))
        return 2;
    if (argc > 1 && std::strcmp(argv[1], "--window-only") == 0)
        return ShowEmptyWindow(instance);
    if (argc > 2 && std::strcmp(argv[1], "--close") == 0)
        return CloseWindowTitled(argv[2]);
    if (argc > 1 && std::strcmp(argv[1], "--parse-answers") == 0)
        return ParseAnswers();
    if (argc > 2 && std::strcmp(argv[1], "--check") == 0)
        return TimeCheck(argv[2]);
    return RunDownload(instance, enteredMs);
}
