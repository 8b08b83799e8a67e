// The installer's check below the executable: what another process does to the file while the
// check holds it. The signature cases themselves run against the shipped executable
// (tests/e2e/fault_matrix_test.py).
#include "download/installer_trust.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

std::wstring WindowsPath(const char* linuxPath)
{
    std::wstring path = L"Z:";
    for (const char* c = linuxPath; *c; ++c)
        path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return path;
}

// Another process that holds `file` open for writing until it is ended.
class Writer {
public:
    explicit Writer(const fs::path& file)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!::CreatePipe(&read, &write, &inherit, 0))
            return;
        ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        std::wstring line = L"\"" + WindowsPath(std::getenv("RORA_FAKE_INSTALLER")) + L"\" --hold-open \"" + file.wstring() + L"\" 60";
        if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process_)) {
            char said[16] = {};
            DWORD got = 0;
            ::CloseHandle(write);
            write = nullptr;
            holding_ = ::ReadFile(read, said, sizeof(said) - 1, &got, nullptr) && std::string(said).rfind("holding", 0) == 0;
        }
        if (write)
            ::CloseHandle(write);
        ::CloseHandle(read);
    }
    ~Writer()
    {
        if (process_.hProcess) {
            ::TerminateProcess(process_.hProcess, 0);
            ::WaitForSingleObject(process_.hProcess, 10000);
            ::CloseHandle(process_.hProcess);
            ::CloseHandle(process_.hThread);
        }
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    bool Holding() const { return holding_; }

private:
    PROCESS_INFORMATION process_{};
    bool holding_ = false;
};

} // namespace

TEST(InstallerCheck, AFileAnotherProcessHoldsOpenForWritingFailsTheCheck)
{
    const char* signedInstaller = std::getenv("RORA_SIGNED_INSTALLER");
    ASSERT_NE(signedInstaller, nullptr);
    const fs::path file = fs::temp_directory_path() / ("rora-check-" + std::to_string(::GetCurrentProcessId()) + ".exe");
    fs::copy_file(WindowsPath(signedInstaller), file, fs::copy_options::overwrite_existing);
    {
        Writer writer(file);
        ASSERT_TRUE(writer.Holding());
        const gui::CheckedInstaller checked = gui::CheckInstaller(file);
        EXPECT_FALSE(checked.Trusted());
        EXPECT_FALSE(checked.file);
        EXPECT_NE(checked.failure.find("could not be opened for the check"), std::string::npos) << checked.failure;
    }

    // Once the writer is gone the same file passes: the writer, not the file, failed the check.
    EXPECT_TRUE(gui::CheckInstaller(file).Trusted());
    fs::remove(file);
}
