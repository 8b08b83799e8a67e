#include "app/installer_launch.h"

#include <vector>

namespace gui {

std::wstring InstallerCommandLine(const std::wstring& installerPath, const std::wstring& arguments)
{
    // Quoted, so that Windows cannot run a program planted at a shorter prefix of a path with
    // blanks (C:\ProgramData\Rora.exe for C:\ProgramData\Rora REZ Idadezo 15\...).
    std::wstring line = L"\"" + installerPath + L"\"";
    if (!arguments.empty()) {
        line += L' ';
        line += arguments;
    }
    return line;
}

std::unique_ptr<LaunchedProcess> StartInstaller(const std::wstring& installerPath, const std::wstring& arguments)
{
    const std::wstring line = InstallerCommandLine(installerPath, arguments);
    // CreateProcessW may write into the command line.
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;

    auto launched = std::make_unique<LaunchedProcess>();
    launched->process.Reset(info.hProcess);
    launched->thread.Reset(info.hThread);
    launched->processId = info.dwProcessId;
    launched->threadId = info.dwThreadId;
    return launched;
}

} // namespace gui
