#include "http/http_settings.h"

#include "sys/system_library.h"
#include "sys/unique_resource.h"
#include "config/registry.h"
#include "text/text_conversion.h"

#include <windows.h>
#include <winhttp.h>

#include <cwctype>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace http {
namespace {

constexpr wchar_t productDisplayName[] = L"Rora REZ Idadezo 15";

struct CachedProxy {
    std::wstring host;
    int port = -1;
};

// Discovered proxies of the whole process: filled by the first discovery that finds any, then
// fixed. The lock only guards against a transfer on another thread filling it at the same time.
struct ProxyCache {
    std::mutex lock;
    std::vector<CachedProxy> items;
};

ProxyCache& Cache()
{
    static ProxyCache cache;
    return cache;
}

// winhttp.dll is not a known DLL: bound at run time from the system directory, so that a DLL
// of that name beside the downloaded program is never loaded.
struct WinHttpApi {
    sys::UniqueModule module;
    decltype(&::WinHttpGetIEProxyConfigForCurrentUser) getIEProxyConfig = nullptr;
    decltype(&::WinHttpOpen) open = nullptr;
    decltype(&::WinHttpSetTimeouts) setTimeouts = nullptr;
    decltype(&::WinHttpGetProxyForUrl) getProxyForUrl = nullptr;
    decltype(&::WinHttpCloseHandle) closeHandle = nullptr;

    bool Usable() const noexcept { return getIEProxyConfig && open && setTimeouts && getProxyForUrl && closeHandle; }
};

const WinHttpApi& WinHttp()
{
    static const WinHttpApi api = [] {
        WinHttpApi loaded;
        loaded.module = sys::LoadSystemLibrary(L"winhttp.dll");
        const HMODULE module = loaded.module.Get();
        loaded.getIEProxyConfig = sys::FindExport<decltype(loaded.getIEProxyConfig)>(module, "WinHttpGetIEProxyConfigForCurrentUser");
        loaded.open = sys::FindExport<decltype(loaded.open)>(module, "WinHttpOpen");
        loaded.setTimeouts = sys::FindExport<decltype(loaded.setTimeouts)>(module, "WinHttpSetTimeouts");
        loaded.getProxyForUrl = sys::FindExport<decltype(loaded.getProxyForUrl)>(module, "WinHttpGetProxyForUrl");
        loaded.closeHandle = sys::FindExport<decltype(loaded.closeHandle)>(module, "WinHttpCloseHandle");
        return loaded;
    }();
    return api;
}

void CloseInternetHandle(HINTERNET handle) noexcept
{
    WinHttp().closeHandle(handle);
}
using UniqueInternet = sys::UniqueResource<HINTERNET, &CloseInternetHandle>;

void FreeGlobal(LPWSTR text) noexcept
{
    if (text)
        ::GlobalFree(text);
}

// The user's proxy configuration; WinHTTP allocates its strings with GlobalAlloc.
struct IeProxyConfig : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG {
    IeProxyConfig() noexcept : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{} {}
    IeProxyConfig(const IeProxyConfig&) = delete;
    IeProxyConfig& operator=(const IeProxyConfig&) = delete;
    ~IeProxyConfig()
    {
        FreeGlobal(lpszAutoConfigUrl);
        FreeGlobal(lpszProxy);
        FreeGlobal(lpszProxyBypass);
    }
};

struct ProxyInfo : WINHTTP_PROXY_INFO {
    ProxyInfo() noexcept : WINHTTP_PROXY_INFO{} {}
    ProxyInfo(const ProxyInfo&) = delete;
    ProxyInfo& operator=(const ProxyInfo&) = delete;
    ~ProxyInfo()
    {
        FreeGlobal(lpszProxy);
        FreeGlobal(lpszProxyBypass);
    }
};

// "host:port", "scheme://host:port" or "host". A port that is missing, unreadable or out of
// range is -1.
void AddProxyEntry(const std::wstring& proxy, std::vector<CachedProxy>& out)
{
    std::wstring rest = proxy;
    if (const auto schemeEnd = rest.find(L"://"); schemeEnd != std::wstring::npos)
        rest.erase(0, schemeEnd + 3);

    CachedProxy entry;
    const auto colon = rest.find(L':');
    entry.host = rest.substr(0, colon);
    if (colon != std::wstring::npos) {
        try {
            entry.port = std::stoi(rest.substr(colon + 1), nullptr, 10);
        } catch (const std::invalid_argument&) {
            entry.port = -1;
        } catch (const std::out_of_range&) {
            entry.port = -1;
        }
        if (entry.port < 1 || entry.port > 65535)
            entry.port = -1;
    }
    out.push_back(std::move(entry));
}

// A WinHTTP proxy list: items separated by blanks or ";", each "proxy" (every scheme) or
// "scheme=proxy" (that scheme only, compared exactly).
void AddProxiesFromList(const std::wstring& scheme, const std::wstring& list, std::vector<CachedProxy>& out)
{
    std::wstring item;
    const auto flush = [&] {
        if (item.empty())
            return;
        const auto equals = item.find(L'=');
        const std::wstring itemScheme = equals == std::wstring::npos ? scheme : item.substr(0, equals);
        const std::wstring proxy = equals == std::wstring::npos ? item : item.substr(equals + 1);
        if (itemScheme == scheme)
            AddProxyEntry(proxy, out);
        item.clear();
    };
    for (const wchar_t c : list) {
        if (std::iswspace(static_cast<wint_t>(c)) || c == L';')
            flush();
        else
            item += c;
    }
    flush();
}

void LookupProxyForUrl(UniqueInternet& session, const std::wstring& url, bool detect, const wchar_t* scriptUrl,
    std::vector<CachedProxy>& out)
{
    const WinHttpApi& api = WinHttp();
    if (!session) {
        session.Reset(api.open(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session)
            return;
        api.setTimeouts(session.Get(), 10000, 10000, 5000, 5000);
    }

    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (detect) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (scriptUrl) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl;
    }
    options.fAutoLogonIfChallenged = FALSE;

    ProxyInfo info;
    BOOL found = api.getProxyForUrl(session.Get(), url.c_str(), &options, &info);
    if (!found && ::GetLastError() == ERROR_WINHTTP_LOGIN_FAILURE) {
        options.fAutoLogonIfChallenged = TRUE;
        found = api.getProxyForUrl(session.Get(), url.c_str(), &options, &info);
    }
    if (!found) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_WINHTTP_TIMEOUT || error == ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR)
            session.Reset(); // a later lookup starts on a fresh session
        else if (error == ERROR_WINHTTP_AUTODETECTION_FAILED)
            return;
    }
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy)
        AddProxiesFromList(SchemeOf(url), info.lpszProxy, out);
}

// Automatic detection, then the configuration script, then the manual list: each source that
// is configured adds its proxies in that order.
void DiscoverProxies(UniqueInternet& session, const std::wstring& url, std::vector<CachedProxy>& out)
{
    const WinHttpApi& api = WinHttp();
    if (!api.Usable())
        return;
    IeProxyConfig config;
    if (!api.getIEProxyConfig(&config))
        return;
    if (config.fAutoDetect)
        LookupProxyForUrl(session, url, true, nullptr, out);
    if (config.lpszAutoConfigUrl)
        LookupProxyForUrl(session, url, false, config.lpszAutoConfigUrl, out);
    if (config.lpszProxy)
        AddProxiesFromList(SchemeOf(url), config.lpszProxy, out);
}

ProxyEntry ToEntry(const CachedProxy& proxy)
{
    return ProxyEntry{proxy.port, text::ToUtf8(proxy.host)};
}

} // namespace

std::string HttpSettings::UserAgent()
{
    return text::ToUtf8(productDisplayName) + " Installer";
}

std::vector<ProxyEntry> HttpSettings::ProxiesFor(const std::string& url)
{
    ProxyCache& cache = Cache();
    const std::lock_guard guard(cache.lock);
    if (cache.items.empty()) {
        // "verify peer" only switches discovery off; certificates are checked regardless.
        const auto discoveryOff = winreg::ReadRegistryDword(std::wstring(L"settings"), L"verify peer");
        if (!discoveryOff || *discoveryOff == 0) {
            try {
                std::vector<CachedProxy> found;
                {
                    UniqueInternet session;
                    DiscoverProxies(session, text::ToWide(url), found);
                }
                cache.items.insert(cache.items.end(), found.begin(), found.end());
            } catch (const std::exception&) {
                // Discovery is best effort: without proxies the transfer goes out directly.
            }
        }
    }

    std::vector<ProxyEntry> result;
    result.reserve(cache.items.size());
    for (const CachedProxy& proxy : cache.items)
        result.push_back(ToEntry(proxy));
    return result;
}

ProxyCredentials HttpSettings::ProxyCredentialsFor(const ProxyEntry& /*entry*/)
{
    return ProxyCredentials{};
}

std::vector<ProxyEntry> ParseProxyList(const std::wstring& scheme, const std::wstring& list)
{
    std::vector<CachedProxy> found;
    AddProxiesFromList(scheme, list, found);
    std::vector<ProxyEntry> result;
    for (const CachedProxy& proxy : found)
        result.push_back(ToEntry(proxy));
    return result;
}

std::wstring SchemeOf(const std::wstring& url)
{
    const auto end = url.find(L"://");
    return end == std::wstring::npos ? std::wstring(L"http") : url.substr(0, end);
}

} // namespace http
