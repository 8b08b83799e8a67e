#include "download/destination.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace fs = std::filesystem;

// Every Wine process is elevated: its folders go to the Windows directory's Temp (that the user's
// TMP and TEMP change nothing, the end-to-end run shows).
TEST(MakeUniqueDirectory, MakesFreshHexNamedFoldersInTheSystemsTemp)
{
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(::GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);

    std::set<fs::path> made;
    for (int i = 0; i < 20; ++i) {
        const fs::path folder = gui::MakeUniqueDirectory().path;
        ASSERT_FALSE(folder.empty());
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_TRUE(fs::is_empty(folder));
        EXPECT_EQ(folder.parent_path(), fs::path(windows) / L"Temp") << folder.string();
        EXPECT_TRUE(std::regex_match(folder.filename().string(), std::regex("[0-9a-f]{1,16}"))) << folder.string();
        EXPECT_TRUE(made.insert(folder).second) << "a folder name came twice";
    }
    for (const auto& folder : made)
        fs::remove(folder);
}

TEST(MakeUniqueDirectory, TheFolderIsHeldUntilItsHandleCloses)
{
    gui::UniqueDirectory folder = gui::MakeUniqueDirectory();
    ASSERT_TRUE(folder.handle);
    const fs::path moved = folder.path.wstring() + L"-moved";
    EXPECT_FALSE(::MoveFileW(folder.path.c_str(), moved.c_str())) << "the held folder could be renamed";
    EXPECT_TRUE(fs::is_directory(folder.path));
    EXPECT_TRUE(gui::RemoveEmptyDirectory(folder));
    EXPECT_FALSE(fs::exists(folder.path));
}

// The descriptor a new folder is created with when the process is elevated (Wine does not keep
// folder security, so the descriptor is checked, not its effect).
TEST(ProtectedFolderSecurity, OnlySystemAndAdministratorsOwnOrMayChangeTheFolder)
{
    const auto descriptor = gui::ProtectedFolderSecurity();
    ASSERT_TRUE(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    BOOL present = FALSE, defaulted = FALSE;
    DWORD revision = 0;
    ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.Get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the folder would inherit the user's rights on Temp";
    PSID owner = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.Get(), &owner, &defaulted));

    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl);

    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    char user[256];
    DWORD size = sizeof(user);
    ASSERT_TRUE(::GetTokenInformation(token, TokenUser, user, size, &size));
    ::CloseHandle(token);
    BYTE system[SECURITY_MAX_SID_SIZE], administrators[SECURITY_MAX_SID_SIZE], ownerRights[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system), administratorsSize = sizeof(administrators), ownerRightsSize = sizeof(ownerRights);
    ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize));
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &administratorsSize));
    ASSERT_TRUE(::CreateWellKnownSid(WinCreatorOwnerRightsSid, nullptr, ownerRights, &ownerRightsSize));
    EXPECT_TRUE(owner && ::EqualSid(owner, administrators)) << "Administrators must own the folder, not its creator";
    const struct {
        PSID sid;
        ACCESS_MASK mask;
    } expected[] = {{system, FILE_ALL_ACCESS}, {administrators, FILE_ALL_ACCESS},
        {ownerRights, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
        {reinterpret_cast<TOKEN_USER*>(user)->User.Sid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};

    ASSERT_EQ(dacl->AceCount, 4u) << "exactly SYSTEM, Administrators, what ownership grants, and the user";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, &entry));
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) << i;
        EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&ace->SidStart), expected[i].sid)) << i;
        EXPECT_EQ(ace->Mask, expected[i].mask) << i;
    }
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
