#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace http {

struct ProxyEntry {
    int port = -1; // -1 when the proxy text gave none or an unreadable one
    std::string host; // UTF-8, without scheme and port; an IPv6 address keeps its brackets
};

struct ProxyCredentials {
    std::string user;
    std::string password;
};

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// How every HTTP client reaches the network: user agent, proxies for a URL, proxy
// credentials, and the deadline of the work done before the window appears. Always made with
// std::make_shared<HttpSettings> and owned by shared_ptr.
class HttpSettings {
public:
    virtual std::string UserAgent();
    // The proxies to try for the URL, in order; empty means a direct connection. Discovered
    // through the user's WinHTTP configuration once per scheme, host and port in the process;
    // a WinHTTP lookup that overruns the deadline (or 10 s) is given up and finds nothing.
    virtual std::vector<ProxyEntry> ProxiesFor(const std::string& url);
    virtual ProxyCredentials ProxyCredentialsFor(const ProxyEntry& entry);

    // While set, every request and proxy discovery made through these settings ends by this
    // time: attempts are cut short to it and skipped after it. Set and cleared by the thread
    // that makes those requests, before any other thread uses the settings.
    void SetDeadline(Deadline deadline) noexcept { deadline_ = deadline; }
    Deadline GetDeadline() const noexcept { return deadline_; }

private:
    Deadline deadline_;
};

// The proxies of a manual WinHTTP proxy list ("http=a:80;https=b:443", "a:80 b:81") for `url`,
// none when the host is on the bypass list ("<local>;*.example.com"). Exposed for tests.
std::vector<ProxyEntry> ManualProxiesFor(const std::wstring& url, const std::wstring& list, const std::wstring& bypass);

// The text before the first "://", or "http".
std::wstring SchemeOf(const std::wstring& url);

// Scheme, host and port of a URL, as one text in lower case ("https://host:443"): the proxy
// discovery of one key never answers for another.
std::wstring DiscoveryKeyOf(const std::wstring& url);

} // namespace http
