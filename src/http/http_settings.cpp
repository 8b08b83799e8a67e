#include "http/http_settings.h"

#include "build_settings.h"
#include "sys/system_library.h"
#include "sys/unique_resource.h"
#include "config/registry.h"
#include "text/text_conversion.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <condition_variable>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace http {
namespace {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::milliseconds;

// WinHTTP's lookups can outlast the time-outs they are given (a script server that accepts and
// never answers holds WinHttpGetProxyForUrl for minutes): they are waited for at most this
// long, or until the settings' deadline, and then count as finding nothing.
constexpr Milliseconds lookupLimit = 10s;

struct CachedProxy {
    std::wstring host;
    int port = -1;
};
using ProxyList = std::vector<CachedProxy>;

// What discovery found for each discovery key of the process, an empty answer included. The
// lock also keeps two threads from discovering at the same time.
struct ProxyCache {
    std::mutex lock;
    std::map<std::wstring, ProxyList> byKey;
};

ProxyCache& Cache()
{
    static ProxyCache cache;
    return cache;
}

// winhttp.dll is not a known DLL: bound at run time from the system directory, so that a DLL
// of that name beside the downloaded program is never loaded. It is never unloaded, not even
// at exit: a lookup that was given up may still run inside it until the process ends.
struct WinHttpApi {
    HMODULE module = nullptr;
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
        loaded.module = sys::LoadSystemLibrary(L"winhttp.dll").Release();
        const HMODULE module = loaded.module;
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

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

bool IsListSeparator(wchar_t c)
{
    return std::iswspace(static_cast<wint_t>(c)) || c == L';';
}

// Calls `item` for every item of a WinHTTP list: separated by blanks or ";", empty ones dropped.
template <typename Fn>
void ForEachItem(const std::wstring& list, Fn item)
{
    size_t start = 0;
    while (start < list.size()) {
        size_t end = start;
        while (end < list.size() && !IsListSeparator(list[end]))
            ++end;
        if (end > start)
            item(list.substr(start, end - start));
        start = end + 1;
    }
}

// A host, "host:port" or "[v6]:port" from the authority of a URL or a proxy item. `port` is
// empty when none is written.
struct HostAndPort {
    std::wstring host;
    std::wstring port;
    bool portGiven = false;
    bool valid = true;
};

HostAndPort SplitAuthority(std::wstring authority)
{
    // User information is never taken for the host.
    if (const auto at = authority.rfind(L'@'); at != std::wstring::npos)
        authority.erase(0, at + 1);
    HostAndPort parts;
    size_t hostEnd = 0;
    if (!authority.empty() && authority.front() == L'[') {
        const auto close = authority.find(L']');
        if (close == std::wstring::npos) {
            parts.valid = false;
            return parts;
        }
        hostEnd = close + 1;
        if (hostEnd < authority.size() && authority[hostEnd] != L':')
            parts.valid = false;
    } else {
        hostEnd = std::min(authority.find(L':'), authority.size());
    }
    parts.host = authority.substr(0, hostEnd);
    if (hostEnd < authority.size()) {
        parts.portGiven = true;
        parts.port = authority.substr(hostEnd + 1);
    }
    return parts;
}

// The leading digits of a port text, capped above 65535; -1 without a leading digit.
long LeadingNumber(const std::wstring& text)
{
    if (text.empty() || !IsDigit(text.front()))
        return -1;
    long value = 0;
    for (size_t i = 0; i < text.size() && IsDigit(text[i]) && value <= 65535; ++i)
        value = value * 10 + (text[i] - L'0');
    return value;
}

// "host:port", "scheme://user@host:port/", "[v6]:port" or "host". A port that is missing or
// starts with no digit is -1 (port 80 to Windows, and to the client). An item with an empty
// host, an unclosed '[' or a port of 0 or above 65535 is no proxy at all.
void AddProxyEntry(std::wstring proxy, ProxyList& out)
{
    if (const auto schemeEnd = proxy.find(L"://"); schemeEnd != std::wstring::npos)
        proxy.erase(0, schemeEnd + 3);
    const HostAndPort parts = SplitAuthority(proxy.substr(0, proxy.find(L'/')));
    if (!parts.valid || parts.host.empty() || parts.host == L"[]")
        return;
    CachedProxy entry{parts.host, -1};
    if (parts.portGiven) {
        const long port = LeadingNumber(parts.port);
        if (port == 0 || port > 65535)
            return;
        entry.port = static_cast<int>(port);
    }
    out.push_back(std::move(entry));
}

// A WinHTTP proxy list: each item "proxy" (every scheme) or "scheme=proxy" (that scheme only,
// in any case, as Windows reads it).
void AddProxiesFromList(const std::wstring& scheme, const std::wstring& list, ProxyList& out)
{
    const std::wstring wanted = Lower(scheme);
    ForEachItem(list, [&](const std::wstring& item) {
        const auto equals = item.find(L'=');
        if (equals == std::wstring::npos)
            AddProxyEntry(item, out);
        else if (Lower(item.substr(0, equals)) == wanted)
            AddProxyEntry(item.substr(equals + 1), out);
    });
}

// `text` against a pattern in which '*' stands for any run of characters; both in lower case.
bool MatchesPattern(const std::wstring& pattern, const std::wstring& text)
{
    size_t p = 0, t = 0, star = std::wstring::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

// The bypass list of the manual settings, as Windows reads it: items separated by blanks or
// ";", "<local>" for every host name without a dot (an IPv6 address is no name), '*' as a
// wildcard. Nothing else is bypassed, loopback addresses included.
bool Bypassed(const std::wstring& host, const std::wstring& bypass)
{
    bool bypassed = false;
    ForEachItem(bypass, [&](const std::wstring& item) {
        const std::wstring pattern = Lower(item);
        if (pattern == L"<local>")
            bypassed = bypassed || (host.find(L'.') == std::wstring::npos && host.rfind(L'[', 0) == std::wstring::npos);
        else
            bypassed = bypassed || MatchesPattern(pattern, host);
    });
    return bypassed;
}

struct UrlParts {
    std::wstring scheme;
    std::wstring host;
    long port = 0;
};

UrlParts PartsOf(const std::wstring& url)
{
    UrlParts parts;
    parts.scheme = Lower(SchemeOf(url));
    const auto schemeEnd = url.find(L"://");
    const size_t start = schemeEnd == std::wstring::npos ? 0 : schemeEnd + 3;
    const size_t end = std::min(url.find_first_of(L"/?#", start), url.size());
    const HostAndPort authority = SplitAuthority(url.substr(start, end - start));
    parts.host = Lower(authority.host);
    parts.port = LeadingNumber(authority.port);
    if (parts.port <= 0 || parts.port > 65535)
        parts.port = parts.scheme == L"https" ? 443 : 80;
    return parts;
}

void LookupProxyForUrl(UniqueInternet& session, const std::wstring& url, bool detect, const wchar_t* scriptUrl,
    ProxyList& out)
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

// The WinHTTP lookups of one discovery, shared between the thread that runs them and the
// caller, which may stop waiting for them.
struct Lookups {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    ProxyList found;
};

// The body of a lookup thread. It touches only what it owns (its copies of the texts and the
// shared record) and the WinHTTP binding, which is never unloaded.
void RunLookups(Lookups& record, const std::wstring& url, bool detect, const std::wstring& scriptUrl) noexcept
{
    try {
        ProxyList found;
        {
            UniqueInternet session;
            if (detect)
                LookupProxyForUrl(session, url, true, nullptr, found);
            if (!scriptUrl.empty())
                LookupProxyForUrl(session, url, false, scriptUrl.c_str(), found);
        }
        const std::lock_guard guard(record.lock);
        record.found = std::move(found);
        record.finished = true;
        record.done.notify_one();
    } catch (...) {
        // The caller's wait ends without an answer: no proxies from these lookups.
    }
}

// Automatic detection and the configuration script, on a thread the caller waits for at most
// `limit`; one that overruns is given up and adds nothing.
ProxyList LookUpWithin(const std::wstring& url, bool detect, const std::wstring& scriptUrl, Milliseconds limit)
{
    const auto record = std::make_shared<Lookups>();
    try {
        std::thread([record, url, detect, scriptUrl]() noexcept { RunLookups(*record, url, detect, scriptUrl); }).detach();
    } catch (const std::system_error&) {
        return {};
    }
    std::unique_lock lock(record->lock);
    if (!record->done.wait_for(lock, limit, [&] { return record->finished; }))
        return {};
    return std::move(record->found);
}

// Automatic detection, then the configuration script, then the manual list: each source that
// is configured adds its proxies in that order.
ProxyList DiscoverProxies(const std::wstring& url, const Deadline& deadline)
{
    ProxyList found;
    const WinHttpApi& api = WinHttp();
    if (!api.Usable())
        return found;
    IeProxyConfig config;
    if (!api.getIEProxyConfig(&config))
        return found;

    const std::wstring scriptUrl = config.lpszAutoConfigUrl ? config.lpszAutoConfigUrl : L"";
    if (config.fAutoDetect || !scriptUrl.empty()) {
        Milliseconds limit = lookupLimit;
        if (deadline)
            limit = std::min(limit, std::chrono::ceil<Milliseconds>(*deadline - std::chrono::steady_clock::now()));
        if (limit > 0ms)
            found = LookUpWithin(url, config.fAutoDetect, scriptUrl, limit);
    }
    if (config.lpszProxy && !Bypassed(PartsOf(url).host, config.lpszProxyBypass ? config.lpszProxyBypass : L""))
        AddProxiesFromList(SchemeOf(url), config.lpszProxy, found);
    return found;
}

std::vector<ProxyEntry> ToEntries(const ProxyList& proxies)
{
    std::vector<ProxyEntry> result;
    result.reserve(proxies.size());
    for (const CachedProxy& proxy : proxies)
        result.push_back(ProxyEntry{proxy.port, text::ToUtf8(proxy.host)});
    return result;
}

} // namespace

std::string HttpSettings::UserAgent()
{
    return RORA_USER_AGENT;
}

std::vector<ProxyEntry> HttpSettings::ProxiesFor(const std::string& url)
{
    // "verify peer" only switches discovery off; certificates are checked regardless.
    const auto discoveryOff = winreg::ReadRegistryDword(std::wstring(L"settings"), L"verify peer");
    if (discoveryOff && *discoveryOff != 0)
        return {};

    const std::wstring wideUrl = text::ToWide(url);
    const std::wstring key = DiscoveryKeyOf(wideUrl);
    ProxyCache& cache = Cache();
    const std::lock_guard guard(cache.lock);
    auto cached = cache.byKey.find(key);
    if (cached == cache.byKey.end()) {
        ProxyList found;
        try {
            found = DiscoverProxies(wideUrl, deadline_);
        } catch (const std::exception&) {
            // Discovery is best effort: without proxies the transfer goes out directly.
            found.clear();
        }
        cached = cache.byKey.emplace(key, std::move(found)).first;
    }
    return ToEntries(cached->second);
}

ProxyCredentials HttpSettings::ProxyCredentialsFor(const ProxyEntry& /*entry*/)
{
    return ProxyCredentials{};
}

std::vector<ProxyEntry> ManualProxiesFor(const std::wstring& url, const std::wstring& list, const std::wstring& bypass)
{
    ProxyList found;
    if (!Bypassed(PartsOf(url).host, bypass))
        AddProxiesFromList(SchemeOf(url), list, found);
    return ToEntries(found);
}

std::wstring SchemeOf(const std::wstring& url)
{
    const auto end = url.find(L"://");
    return end == std::wstring::npos ? std::wstring(L"http") : url.substr(0, end);
}

std::wstring DiscoveryKeyOf(const std::wstring& url)
{
    const UrlParts parts = PartsOf(url);
    return parts.scheme + L"://" + parts.host + L":" + std::to_wstring(parts.port);
}

} // namespace http
