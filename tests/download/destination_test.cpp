#include "download/destination.h"

#include "http/errors.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

namespace fs = std::filesystem;

TEST(MakeUniqueDirectory, MakesFreshHexNamedFoldersUnderTemp)
{
    std::set<fs::path> made;
    for (int i = 0; i < 20; ++i) {
        const fs::path folder = gui::MakeUniqueDirectory();
        ASSERT_FALSE(folder.empty());
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_TRUE(fs::is_empty(folder));
        EXPECT_EQ(folder.parent_path(), (fs::temp_directory_path() / "x").parent_path())
            << folder.string();
        EXPECT_TRUE(std::regex_match(folder.filename().string(), std::regex("[0-9a-f]{1,16}"))) << folder.string();
        EXPECT_TRUE(made.insert(folder).second) << "a folder name came twice";
    }
    for (const auto& folder : made)
        fs::remove(folder);
}

TEST(MakeUniqueDirectory, FileSystemFailuresBecomeInternalError107)
{
    // A temporary directory that is a file: the creation below it fails.
    const fs::path file = fs::temp_directory_path() / "not-a-folder.txt";
    std::ofstream(file) << "x";
    wchar_t saved[MAX_PATH] = {};
    ASSERT_GT(::GetEnvironmentVariableW(L"TMP", saved, MAX_PATH), 0u);
    ::SetEnvironmentVariableW(L"TMP", file.c_str());
    ::SetEnvironmentVariableW(L"TEMP", file.c_str());
    try {
        gui::MakeUniqueDirectory();
        ADD_FAILURE() << "no error for a temporary directory that is a file";
    } catch (const common::internal_error& error) {
        EXPECT_EQ(error.code, 107);
        EXPECT_EQ(std::string(error.what()).rfind("Internal Error: ", 0), 0u) << error.what();
    }
    ::SetEnvironmentVariableW(L"TMP", saved);
    ::SetEnvironmentVariableW(L"TEMP", saved);
    fs::remove(file);
}

TEST(FreeSpaceRule, ComparesTheFreeBytesWithTheWholeLength)
{
    const fs::path temp = fs::temp_directory_path();
    EXPECT_TRUE(gui::HasEnoughFreeSpace(temp, 0));
    EXPECT_TRUE(gui::HasEnoughFreeSpace(temp, 1024));
    ULARGE_INTEGER available{}, total{}, free{};
    ASSERT_TRUE(::GetDiskFreeSpaceExW(temp.c_str(), &available, &total, &free));
    EXPECT_FALSE(gui::HasEnoughFreeSpace(temp, total.QuadPart + 1));
    EXPECT_FALSE(gui::HasEnoughFreeSpace(temp, (total.QuadPart + 1) << 32 | 1)) << "lengths beyond 32 bits count whole";
    // A folder that does not exist: the query fails, only a length of 0 passes.
    EXPECT_TRUE(gui::HasEnoughFreeSpace(L"Q:\\no\\such\\folder", 0));
    EXPECT_FALSE(gui::HasEnoughFreeSpace(L"Q:\\no\\such\\folder", 1));
}
