// Stands in for the full installer in end-to-end tests. It appends one line to the file named
// by RORA_FAKE_INSTALLER_LOG: its start time (ms since the Unix epoch), a tab, its own path, a
// tab, and its command line exactly as it received it; RORA_FAKE_INSTALLER_FOLDER_LOG names a file
// it writes its current directory to. RORA_FAKE_INSTALLER_SLEEP_MS keeps it running for a while.
// With "--hold-mutex NAME SECONDS" it instead owns that named mutex for that long; with
// "--hold-open PATH SECONDS" it keeps that file open for writing for that long; with
// "--post-close" it posts WM_CLOSE to the main window as soon as that exists. With
// RORA_FAKE_INSTALLER_SHOW set it shows its command line in a message box (the demo).
#include "build_settings.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

long long UnixMilliseconds()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    return static_cast<long long>((value.QuadPart - 116444736000000000ULL) / 10000ULL);
}

std::string ToUtf8(const wchar_t* text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && std::wcscmp(argv[1], L"--post-close") == 0) {
        // Posts WM_CLOSE to the main window as soon as it exists, shown or not.
        for (int i = 0; i < 400; ++i) {
            if (HWND window = ::FindWindowW(L"" RORA_WINDOW_TITLE, L"" RORA_WINDOW_TITLE)) {
                ::PostMessageW(window, WM_CLOSE, 0, 0);
                std::printf("posted\n");
                return 0;
            }
            ::Sleep(50);
        }
        return 3;
    }
    if (argc >= 4 && (std::wcscmp(argv[1], L"--hold-open") == 0 || std::wcscmp(argv[1], L"--hold-mutex") == 0)) {
        const bool file = std::wcscmp(argv[1], L"--hold-open") == 0;
        HANDLE held = file ? ::CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)
                           : ::CreateMutexW(nullptr, TRUE, argv[2]);
        if (!held || held == INVALID_HANDLE_VALUE)
            return 2;
        std::printf("holding\n");
        std::fflush(stdout);
        ::Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10) * 1000));
        ::CloseHandle(held);
        return 0;
    }

    const char* log = std::getenv("RORA_FAKE_INSTALLER_LOG");
    if (log && *log) {
        if (FILE* file = std::fopen(log, "ab")) {
            wchar_t self[MAX_PATH] = {};
            ::GetModuleFileNameW(nullptr, self, MAX_PATH);
            std::fprintf(file, "%lld\t%s\t%s\n", UnixMilliseconds(), ToUtf8(self).c_str(), ToUtf8(::GetCommandLineW()).c_str());
            std::fclose(file);
        }
    }
    const char* folderLog = std::getenv("RORA_FAKE_INSTALLER_FOLDER_LOG");
    if (folderLog && *folderLog) {
        if (FILE* file = std::fopen(folderLog, "wb")) {
            wchar_t folder[MAX_PATH] = {};
            ::GetCurrentDirectoryW(MAX_PATH, folder);
            std::fprintf(file, "%s", ToUtf8(folder).c_str());
            std::fclose(file);
        }
    }
    if (std::getenv("RORA_FAKE_INSTALLER_SHOW")) {
        std::wstring text = L"The full installer would start now. It was given this command line:\n\n";
        text += ::GetCommandLineW();
        ::MessageBoxW(nullptr, text.c_str(), L"Demo installer", MB_OK | MB_ICONINFORMATION | MB_TOPMOST);
    }
    if (const char* sleep = std::getenv("RORA_FAKE_INSTALLER_SLEEP_MS"))
        ::Sleep(static_cast<DWORD>(std::strtoul(sleep, nullptr, 10)));
    const char* code = std::getenv("RORA_FAKE_INSTALLER_EXIT_CODE");
    return code ? std::atoi(code) : 0;
}
