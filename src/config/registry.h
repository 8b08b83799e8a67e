#pragma once

#include "sys/unique_resource.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

namespace winreg {

// The registry layer's exception type. Nothing in the layer raises it: its operations fail
// silently. Callers that wrap registry work may use it to report a failure by text.
class RegException : public std::runtime_error {
public:
    RegException(LONG code, const std::string& message);
    LONG code;
};

// Closes a key handle, but never a predefined root (HKEY_LOCAL_MACHINE and its kind).
void CloseKey(HKEY key) noexcept;

// Owns one open key below HKEY_LOCAL_MACHINE, or none. Move-only.
class RegistryKey {
public:

    // Opens `path` below HKEY_LOCAL_MACHINE; on success replaces the held key. Returns the
    // Windows error code either way.
    LONG Open(const std::wstring& path, REGSAM access) noexcept;
    void Close() noexcept;
    bool IsRootHandle() const noexcept;

    // The string value, or the Windows error code of the step that failed.
    std::variant<std::wstring, LONG> QueryString(const std::wstring& valueName) const;

    HKEY Get() const noexcept { return key_.Get(); }
    // Takes ownership of a handle made elsewhere (RegCreateKeyExW), closing any held one.
    void Adopt(HKEY key) noexcept;
    explicit operator bool() const noexcept { return static_cast<bool>(key_); }

private:
    sys::UniqueResource<HKEY, &CloseKey> key_;
};

using OptionalSubkey = std::optional<std::wstring>;

// "SOFTWARE\<the product's name and major version>"
std::wstring ProductKeyPath();

RegistryKey OpenProductKeyForReading(const OptionalSubkey& subkey);
RegistryKey OpenProductKeyForWriting(const OptionalSubkey& subkey);

// Empty when the value is absent, of another type or unreadable.
std::wstring ReadRegistryString(const OptionalSubkey& subkey, const std::wstring& name);
std::optional<std::uint32_t> ReadRegistryDword(const OptionalSubkey& subkey, const std::wstring& name);
// REG_SZ; a failure is dropped.
void WriteRegistryString(const OptionalSubkey& subkey, const std::wstring& name, const std::wstring& value);
// REG_BINARY holding the UTF-8 bytes of value, without terminator; a failure is dropped.
void WriteRegistryUtf8(const OptionalSubkey& subkey, const std::wstring& name, const std::wstring& value);

} // namespace winreg
