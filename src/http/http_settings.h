#pragma once

#include <string>
#include <vector>

namespace http {

struct ProxyEntry {
    int port = -1; // -1 when the proxy text gave none or an unreadable one
    std::string host; // UTF-8, without scheme and port
};

struct ProxyCredentials {
    std::string user;
    std::string password;
};

// How every HTTP client reaches the network: user agent, proxies for a URL, proxy
// credentials. Always made with std::make_shared<HttpSettings> and owned by shared_ptr.
class HttpSettings {
public:
    virtual std::string UserAgent();
    // The proxies to try for the URL, in order; empty means a direct connection. Discovered
    // once through the user's WinHTTP configuration and cached for the process.
    virtual std::vector<ProxyEntry> ProxiesFor(const std::string& url);
    virtual ProxyCredentials ProxyCredentialsFor(const ProxyEntry& entry);
};

// Parsing of a WinHTTP proxy list ("http=a:80;https=b:443", "a:80 b:81"), exposed for tests:
// the entries of `list` that apply to `scheme`.
std::vector<ProxyEntry> ParseProxyList(const std::wstring& scheme, const std::wstring& list);

// The text before the first "://", or "http".
std::wstring SchemeOf(const std::wstring& url);

} // namespace http
