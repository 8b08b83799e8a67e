#include "config/registry.h"

#include "app/system_queries.h"
#include "build_settings.h"
#include "product_key_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace regtest;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::wstring installation = L"Installation";

class Registry : public ProductKeyTest {};

TEST(RegistryEnvironment, RunsUnderWow64)
{
    // The view tests below only mean something where the two views differ.
    ASSERT_TRUE(sys::IsWow64()) << "run the tests in a 64-bit prefix";
}

TEST(RegistryPath, IsTheProductKeyBelowSoftware)
{
    EXPECT_EQ(winreg::ProductKeyPath(), L"SOFTWARE\\" RORA_PRODUCT_FULL_NAME);
}

TEST_F(Registry, WriteCreatesProductKeyAndSubkeyInTheNativeViewOnly)
{
    winreg::WriteRegistryString(installation, L"InstallerDownloadLink", L"https://example.test/a.exe");

    EXPECT_TRUE(KeyExists(nativeView));
    EXPECT_TRUE(KeyExists(nativeView, installation));
    const auto raw = ReadRaw(nativeView, installation, L"InstallerDownloadLink");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw->bytes, StringBytes(L"https://example.test/a.exe"));
    EXPECT_FALSE(KeyExists(redirectedView)) << "the value went to the redirected Wow6432Node branch";
    RawKey wow;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\" RORA_PRODUCT_FULL_NAME, 0,
                              KEY_READ | nativeView, &wow.key),
              ERROR_SUCCESS);

    winreg::WriteRegistryString(std::nullopt, L"XYZID", L"AB12CD");
    EXPECT_EQ(ReadRaw(nativeView, {}, L"XYZID")->bytes, StringBytes(L"AB12CD"));
    EXPECT_FALSE(KeyExists(redirectedView));

    EXPECT_EQ(winreg::ReadRegistryString(installation, L"InstallerDownloadLink"), L"https://example.test/a.exe");
    EXPECT_EQ(winreg::ReadRegistryString(std::nullopt, L"XYZID"), L"AB12CD");
}

TEST_F(Registry, WriteIntoExistingKeyKeepsItsOtherValues)
{
    WriteRawString(nativeView, installation, L"MsiDownloadLink", L"https://example.test/a.msi");
    winreg::WriteRegistryString(installation, L"InstallerDownloadLink", L"https://example.test/a.exe");
    winreg::WriteRegistryString(installation, L"InstallerDownloadLink", L"https://example.test/b.exe");

    EXPECT_EQ(winreg::ReadRegistryString(installation, L"MsiDownloadLink"), L"https://example.test/a.msi");
    EXPECT_EQ(winreg::ReadRegistryString(installation, L"InstallerDownloadLink"), L"https://example.test/b.exe");
}

TEST_F(Registry, ReadsOfAMissingKeyGiveNothingAndCreateNothing)
{
    EXPECT_EQ(winreg::ReadRegistryString(std::nullopt, L"XYZID"), L"");
    EXPECT_EQ(winreg::ReadRegistryString(installation, L"InstallerDownloadLink"), L"");
    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L"verify peer"), std::nullopt);
    EXPECT_FALSE(winreg::OpenProductKeyForReading(installation));

    EXPECT_FALSE(KeyExists(nativeView));
    EXPECT_FALSE(KeyExists(redirectedView));
}

TEST_F(Registry, ReadsIgnoreTheRedirectedBranch)
{
    WriteRawString(redirectedView, {}, L"XYZID", L"WOW32");
    WriteRawDword(redirectedView, L"settings", L"verify peer", 1);

    EXPECT_EQ(winreg::ReadRegistryString(std::nullopt, L"XYZID"), L"");
    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L"verify peer"), std::nullopt);

    WriteRawString(nativeView, {}, L"XYZID", L"NATIVE");
    EXPECT_EQ(winreg::ReadRegistryString(std::nullopt, L"XYZID"), L"NATIVE");
}

TEST_F(Registry, EmptyStringIsStoredWithItsTerminatorAndReadsEmpty)
{
    winreg::WriteRegistryString(std::nullopt, L"XYZID", L"");

    const auto raw = ReadRaw(nativeView, {}, L"XYZID");
    ASSERT_TRUE(raw) << "an empty text must still be written";
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw->bytes, (Bytes{0, 0}));
    EXPECT_EQ(winreg::ReadRegistryString(std::nullopt, L"XYZID"), L"");
}

TEST_F(Registry, StringsRoundTripWhateverTheirLengthAndCharacters)
{
    const std::wstring texts[] = {
        L"x",
        L"https://d\u00f6wnload.example.test/\u65e5\u672c\u8a9e/\U0001F600.exe",
        std::wstring(5000, L'q') + L"!",
    };
    for (const auto& text : texts) {
        winreg::WriteRegistryString(installation, L"InstallerDownloadLink", text);
        EXPECT_EQ(winreg::ReadRegistryString(installation, L"InstallerDownloadLink"), text);
    }

    // Stored by another tool without its terminator.
    const wchar_t bare[] = {L'a', L'b', L'c'};
    WriteRaw(nativeView, installation, L"Bare", REG_SZ, bare, sizeof(bare));
    EXPECT_EQ(winreg::ReadRegistryString(installation, L"Bare"), L"abc");
}

TEST_F(Registry, NumbersAndStringsAreReadOnlyAsTheirOwnType)
{
    WriteRawDword(nativeView, L"settings", L"verify peer", 0);
    WriteRawDword(nativeView, L"settings", L"all bits", 0xFFFFFFFFu);
    WriteRawString(nativeView, L"settings", L"text", L"1");

    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L"verify peer"), std::optional<std::uint32_t>(0u))
        << "a stored 0 is present, unlike a missing value";
    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L"all bits"), std::optional<std::uint32_t>(0xFFFFFFFFu));
    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L"missing"), std::nullopt);
    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L"text"), std::nullopt);
    EXPECT_EQ(winreg::ReadRegistryString(L"settings", L"all bits"), L"");

    // A write replaces a value of another type.
    winreg::WriteRegistryString(L"settings", L"verify peer", L"no");
    EXPECT_EQ(ReadRaw(nativeView, L"settings", L"verify peer")->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L"verify peer"), std::nullopt);
}

TEST_F(Registry, Utf8IsStoredAsBinaryWithoutTerminator)
{
    winreg::WriteRegistryUtf8(std::nullopt, L"Common Data", L"caf\u00e9");

    const auto raw = ReadRaw(nativeView, {}, L"Common Data");
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(raw->bytes, (Bytes{'c', 'a', 'f', 0xC3, 0xA9}));
    EXPECT_FALSE(KeyExists(redirectedView));

    winreg::WriteRegistryUtf8(std::nullopt, L"Common Data", L"");
    EXPECT_EQ(ReadRaw(nativeView, {}, L"Common Data")->bytes, Bytes{});
}

TEST_F(Registry, EmptyValueNameTouchesNothing)
{
    winreg::WriteRegistryString(installation, L"", L"x");
    winreg::WriteRegistryUtf8(installation, L"", L"x");
    EXPECT_FALSE(KeyExists(nativeView)) << "a write without a value name must not create the key";

    // The key's unnamed default value is not what an empty name asks for.
    WriteRawString(nativeView, {}, L"", L"default");
    WriteRawDword(nativeView, L"settings", L"", 7);
    EXPECT_EQ(winreg::ReadRegistryString(std::nullopt, L""), L"");
    EXPECT_EQ(winreg::ReadRegistryDword(L"settings", L""), std::nullopt);
}

TEST_F(Registry, KeyHolderOpensQueriesAndKeepsItsKeyOnFailure)
{
    WriteRawString(nativeView, installation, L"InstallerDownloadLink", L"held");
    WriteRawDword(nativeView, installation, L"number", 3);

    winreg::RegistryKey key = winreg::OpenProductKeyForReading(installation);
    ASSERT_TRUE(key);
    const HKEY held = key.Get();
    EXPECT_FALSE(key.IsRootHandle());

    EXPECT_EQ(key.Open(regtest::PathOf(L"no such key"), KEY_READ | nativeView), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Get(), held) << "a failed Open must leave the held key alone";
    EXPECT_EQ(std::get<std::wstring>(key.QueryString(L"InstallerDownloadLink")), L"held");
    EXPECT_EQ(std::get<LONG>(key.QueryString(L"missing")), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(std::get<LONG>(key.QueryString(L"number")), ERROR_SUCCESS);

    EXPECT_EQ(key.Open(regtest::PathOf({}), KEY_READ | nativeView), ERROR_SUCCESS);
    EXPECT_TRUE(std::holds_alternative<LONG>(key.QueryString(L"InstallerDownloadLink")))
        << "a successful Open must replace the held key";

    winreg::RegistryKey moved = std::move(key);
    EXPECT_FALSE(key);
    EXPECT_TRUE(moved);

    winreg::RegistryKey writable = winreg::OpenProductKeyForWriting(std::nullopt);
    ASSERT_TRUE(writable);
    const DWORD one = 1;
    EXPECT_EQ(::RegSetValueExW(writable.Get(), L"direct", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4),
              ERROR_SUCCESS);
    EXPECT_TRUE(ReadRaw(nativeView, {}, L"direct"));
}

TEST(RegistryKey, ClosingAPredefinedRootLeavesItOpenAndEmptiesTheHolder)
{
    winreg::RegistryKey key;
    key.Adopt(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(key.IsRootHandle());
    key.Close();
    EXPECT_FALSE(key);
    EXPECT_EQ(key.Get(), nullptr);

    RawKey software;
    EXPECT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ | nativeView, &software.key), ERROR_SUCCESS)
        << "HKEY_LOCAL_MACHINE must still be usable";

    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_CURRENT_CONFIG,
                      HKEY_CURRENT_USER_LOCAL_SETTINGS, HKEY_PERFORMANCE_DATA, HKEY_PERFORMANCE_NLSTEXT,
                      HKEY_PERFORMANCE_TEXT, HKEY_USERS}) {
        key.Adopt(root);
        EXPECT_TRUE(key.IsRootHandle()) << root;
    }
    key.Adopt(HKEY_DYN_DATA);
    EXPECT_FALSE(key.IsRootHandle());
    key.Adopt(nullptr);
}

} // namespace
