#include "config/registry.h"

#include "build_settings.h"
#include "app/system_queries.h"
#include "text/text_conversion.h"

#include <utility>

namespace winreg {
namespace {

constexpr wchar_t productKeyName[] = L"" RORA_PRODUCT_FULL_NAME;

// The 32-bit program always works on the native view: under WOW64 that is the 64-bit branch,
// never the redirected Wow6432Node.
REGSAM ViewFlag()
{
    return sys::IsWow64() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

bool IsPredefinedRoot(HKEY key) noexcept
{
    return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_CONFIG
        || key == HKEY_CURRENT_USER_LOCAL_SETTINGS || key == HKEY_PERFORMANCE_DATA || key == HKEY_PERFORMANCE_NLSTEXT
        || key == HKEY_PERFORMANCE_TEXT || key == HKEY_USERS;
}

std::wstring FullPath(const OptionalSubkey& subkey)
{
    std::wstring path = ProductKeyPath();
    if (subkey) {
        path += L'\\';
        path += *subkey;
    }
    return path;
}

} // namespace

RegException::RegException(LONG errorCode, const std::string& message)
    : std::runtime_error(message), code(errorCode)
{
}

void CloseKey(HKEY key) noexcept
{
    if (!IsPredefinedRoot(key))
        ::RegCloseKey(key);
}

LONG RegistryKey::Open(const std::wstring& path, REGSAM access) noexcept
{
    HKEY opened = nullptr;
    const LONG result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, &opened);
    if (result == ERROR_SUCCESS)
        Adopt(opened);
    return result;
}

void RegistryKey::Close() noexcept
{
    key_.Reset();
}

bool RegistryKey::IsRootHandle() const noexcept
{
    return IsPredefinedRoot(key_.Get());
}

void RegistryKey::Adopt(HKEY key) noexcept
{
    if (key != key_.Get())
        key_.Reset(key);
}

std::variant<std::wstring, LONG> RegistryKey::QueryString(const std::wstring& valueName) const
{
    DWORD size = 0;
    LONG result = ::RegGetValueW(key_.Get(), nullptr, valueName.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size);
    if (result != ERROR_SUCCESS)
        return result;

    // Rounded up so that an odd byte count still fits; RegGetValueW reports the bytes it wrote.
    std::wstring buffer((size + 1) / sizeof(wchar_t), L' ');
    size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    result = ::RegGetValueW(key_.Get(), nullptr, valueName.c_str(), RRF_RT_REG_SZ, nullptr, buffer.data(), &size);
    if (result != ERROR_SUCCESS)
        return result; // also ERROR_MORE_DATA when the value grew between the two calls

    // RegGetValueW guarantees the terminator; it is not part of the text.
    std::size_t length = size / sizeof(wchar_t);
    if (length > 0 && buffer[length - 1] == L'\0')
        --length;
    buffer.resize(length);
    return buffer;
}

std::wstring ProductKeyPath()
{
    return std::wstring(L"SOFTWARE\\") + productKeyName;
}

RegistryKey OpenProductKeyForReading(const OptionalSubkey& subkey)
{
    RegistryKey key;
    key.Open(FullPath(subkey), KEY_READ | ViewFlag());
    return key;
}

RegistryKey OpenProductKeyForWriting(const OptionalSubkey& subkey)
{
    const std::wstring path = FullPath(subkey);
    const REGSAM access = KEY_WRITE | ViewFlag();
    RegistryKey key;
    if (key.Open(path, access) == ERROR_SUCCESS)
        return key;

    // Creates every missing key on the path.
    HKEY created = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                          &created, nullptr)
        == ERROR_SUCCESS)
        key.Adopt(created);
    return key;
}

std::wstring ReadRegistryString(const OptionalSubkey& subkey, const std::wstring& name)
{
    if (name.empty())
        return {};
    const RegistryKey key = OpenProductKeyForReading(subkey);
    if (!key)
        return {};
    auto value = key.QueryString(name);
    if (auto* text = std::get_if<std::wstring>(&value))
        return std::move(*text);
    return {};
}

std::optional<std::uint32_t> ReadRegistryDword(const OptionalSubkey& subkey, const std::wstring& name)
{
    if (name.empty())
        return std::nullopt;
    const RegistryKey key = OpenProductKeyForReading(subkey);
    if (!key)
        return std::nullopt;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(key.Get(), nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

void WriteRegistryString(const OptionalSubkey& subkey, const std::wstring& name, const std::wstring& value)
{
    if (name.empty())
        return;
    const RegistryKey key = OpenProductKeyForWriting(subkey);
    if (!key)
        return;
    const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    // A failed write is dropped: callers fall back to their next source.
    ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
}

void WriteRegistryUtf8(const OptionalSubkey& subkey, const std::wstring& name, const std::wstring& value)
{
    if (name.empty())
        return;
    const RegistryKey key = OpenProductKeyForWriting(subkey);
    if (!key)
        return;
    const std::string utf8 = text::ToUtf8(value);
    ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_BINARY, reinterpret_cast<const BYTE*>(utf8.data()),
                     static_cast<DWORD>(utf8.size()));
}

} // namespace winreg
