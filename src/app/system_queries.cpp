#include "app/system_queries.h"

#include "sys/system_library.h"

#include <sddl.h>

#include <atomic>
#include <string>

namespace sys {
namespace {

struct VersionCache {
    OsVersionInfo version;
    bool known = false;
};

VersionCache versionCache;

bool IsBuildAtLeast(DWORD threshold, const OsVersionInfo& v)
{
    return v.major > 10 || (v.major == 10 && (v.minor != 0 || v.build >= threshold));
}

// Computes a build test once a version is known; asks again while it is absent.
class BuildTest {
public:
    explicit BuildTest(DWORD threshold) : threshold_(threshold) {}

    bool Answer()
    {
        const int cached = state_.load(std::memory_order_acquire);
        if (cached != unknown)
            return cached == yes;
        const auto version = OsVersion();
        if (!version)
            return false;
        const bool answer = IsBuildAtLeast(threshold_, *version);
        state_.store(answer ? yes : no, std::memory_order_release);
        return answer;
    }

private:
    static constexpr int unknown = 0, yes = 1, no = 2;
    DWORD threshold_;
    std::atomic<int> state_{unknown};
};

} // namespace

std::optional<OsVersionInfo> OsVersion()
{
    if (versionCache.known)
        return versionCache.version;

    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    const auto rtlGetVersion = FindExport<RtlGetVersionFn>(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    if (!rtlGetVersion)
        return std::nullopt;

    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (rtlGetVersion(&info) != 0)
        return std::nullopt;
    versionCache.version = OsVersionInfo{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
    versionCache.known = true;
    return versionCache.version;
}

bool SupportsPerWindowDpi()
{
    static BuildTest test(14393);
    return test.Answer();
}

bool SupportsDpiAwarenessContext()
{
    static BuildTest test(15063);
    return test.Answer();
}

bool IsOsVersionAtLeast(DWORD minor)
{
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    info.dwMajorVersion = 6;
    info.dwMinorVersion = minor;
    info.wServicePackMajor = 0;

    DWORDLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

// A yes/no answer computed once: value and "computed" flag in one word, so a reader never sees
// one without the other.
template <typename Compute>
bool Cached(std::atomic<int>& cache, Compute compute)
{
    const int cached = cache.load(std::memory_order_acquire);
    if (cached != 0)
        return cached == 2;
    const bool answer = compute();
    cache.store(answer ? 2 : 1, std::memory_order_release);
    return answer;
}

// The process token's information of one class; empty when it cannot be read.
std::string TokenInformation(TOKEN_INFORMATION_CLASS kind)
{
    HANDLE opened = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened))
        return {};
    const UniqueKernelHandle token(opened);
    DWORD size = 0;
    ::GetTokenInformation(token.Get(), kind, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (size == 0 || !::GetTokenInformation(token.Get(), kind, buffer.data(), size, &size))
        return {};
    return buffer;
}

bool IsWow64()
{
    static std::atomic<int> cache{0};
    return Cached(cache, [] {
        BOOL wow64 = FALSE;
        return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
    });
}

bool IsElevated()
{
    static std::atomic<int> cache{0};
    return Cached(cache, [] {
        // A token that cannot be asked counts as elevated: the answer decides whether the
        // program's folders are protected, and a wrong "no" would leave them open.
        const std::string elevation = TokenInformation(TokenElevation);
        return elevation.size() < sizeof(TOKEN_ELEVATION)
            || reinterpret_cast<const TOKEN_ELEVATION*>(elevation.data())->TokenIsElevated != 0;
    });
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!sid || !::IsValidSid(sid) || !::ConvertSidToStringSidW(sid, &text))
        return {};
    const UniqueResource<wchar_t*, &::LocalFree> owned(text);
    return text;
}

std::wstring CurrentUserSid()
{
    const std::string user = TokenInformation(TokenUser);
    if (user.size() < sizeof(TOKEN_USER))
        return {};
    return SidText(reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid);
}

int GetIconTitleFontForDpi(HMODULE user32, LOGFONTW& font, UINT dpi)
{
    if (!SupportsPerWindowDpi())
        return 0;
    using SystemParametersInfoForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    const auto forDpi = FindExport<SystemParametersInfoForDpiFn>(user32, "SystemParametersInfoForDpi");
    if (!forDpi)
        return 0;
    return forDpi(SPI_GETICONTITLELOGFONT, sizeof(LOGFONTW), &font, 0, dpi);
}

} // namespace sys
