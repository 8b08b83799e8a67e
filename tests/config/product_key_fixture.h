#pragma once

// Raw access to both registry views for the configuration tests. These helpers use the Reg*
// functions directly, never the layer under test, so a fault in the layer cannot hide itself.

#include "build_settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace regtest {

// The native view of a 32-bit process on 64-bit Windows, and the redirected Wow6432Node branch.
constexpr REGSAM nativeView = KEY_WOW64_64KEY;
constexpr REGSAM redirectedView = KEY_WOW64_32KEY;

inline const std::wstring productKey = L"SOFTWARE\\" RORA_PRODUCT_FULL_NAME;

inline std::wstring PathOf(const std::wstring& subkey)
{
    return subkey.empty() ? productKey : productKey + L"\\" + subkey;
}

class RawKey {
public:
    RawKey() = default;
    RawKey(const RawKey&) = delete;
    RawKey& operator=(const RawKey&) = delete;
    ~RawKey()
    {
        if (key)
            ::RegCloseKey(key);
    }
    HKEY key = nullptr;
};

inline bool KeyExists(REGSAM view, const std::wstring& subkey = {})
{
    RawKey k;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, PathOf(subkey).c_str(), 0, KEY_READ | view, &k.key) == ERROR_SUCCESS;
}

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> bytes;
};

inline std::optional<RawValue> ReadRaw(REGSAM view, const std::wstring& subkey, const std::wstring& name)
{
    RawKey k;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, PathOf(subkey).c_str(), 0, KEY_READ | view, &k.key) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value;
    DWORD size = 0;
    if (::RegQueryValueExW(k.key, name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    if (::RegQueryValueExW(k.key, name.c_str(), nullptr, &value.type, value.bytes.data(), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
}

inline void WriteRaw(REGSAM view, const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data,
                     DWORD size)
{
    RawKey k;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, PathOf(subkey).c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr,
                                &k.key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(k.key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

// REG_SZ with its terminator, as Windows tools store it.
inline void WriteRawString(REGSAM view, const std::wstring& subkey, const std::wstring& name, const std::wstring& text)
{
    WriteRaw(view, subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

inline void WriteRawDword(REGSAM view, const std::wstring& subkey, const std::wstring& name, DWORD value)
{
    WriteRaw(view, subkey, name, REG_DWORD, &value, sizeof(value));
}

inline std::vector<std::uint8_t> StringBytes(const std::wstring& text)
{
    const auto* first = reinterpret_cast<const std::uint8_t*>(text.c_str());
    return {first, first + (text.size() + 1) * sizeof(wchar_t)};
}

inline void DeleteProductKey(REGSAM view)
{
    RawKey k;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, productKey.c_str(), 0, KEY_ALL_ACCESS | view, &k.key) == ERROR_SUCCESS) {
        ::RegDeleteTreeW(k.key, nullptr);
        ::RegCloseKey(std::exchange(k.key, nullptr));
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, productKey.c_str(), view, 0);
    }
}

// Every test starts and ends without the product key in either view: tests share one prefix.
class ProductKeyTest : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }

    static void Clean()
    {
        DeleteProductKey(nativeView);
        DeleteProductKey(redirectedView);
        ASSERT_FALSE(KeyExists(nativeView)) << "the product key could not be removed from the 64-bit view";
        ASSERT_FALSE(KeyExists(redirectedView)) << "the product key could not be removed from the 32-bit view";
    }
};

} // namespace regtest
