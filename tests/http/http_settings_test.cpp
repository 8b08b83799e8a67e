// Proxy-list parsing and the fixed answers of HttpSettings. Discovery against Wine's WinHTTP
// runs in proxy_discovery_test.py, one process per configuration.

#include "http/http_settings.h"

#include "build_settings.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Hosts = std::vector<std::pair<std::string, int>>;

struct ManualCase {
    const wchar_t* url;
    const wchar_t* list;
    const wchar_t* bypass;
    Hosts expected;
};

TEST(ManualProxyList, IsReadAsWindowsReadsIt)
{
    const ManualCase cases[] = {
        // Items for one scheme, written in any case, and items for every scheme.
        {L"https://x/", L"http=a:80;https=b:443", L"", {{"b", 443}}},
        {L"http://x/", L"http=a:80;https=b:443", L"", {{"a", 80}}},
        {L"https://x/", L"HTTPS=b:443;Http=a:80", L"", {{"b", 443}}},
        {L"HTTP://x/", L"http=a:80 c:81", L"", {{"a", 80}, {"c", 81}}},
        {L"x/setup.exe", L"http=a:80;https=b:443", L"", {{"a", 80}}},
        {L"https://x/", L"socks=s:1080", L"", {}},
        // Separators.
        {L"https://x/", L"a:80; b:81", L"", {{"a", 80}, {"b", 81}}},
        {L"http://x/", L"\ta:1\r\n;;b:2  ", L"", {{"a", 1}, {"b", 2}}},
        {L"http://x/", L"", L"", {}},
        // Hosts and ports: no readable port is -1 (port 80 later); 0 and above 65535 are refused.
        {L"https://x/", L"https://p:8443 https=http://q:3128/", L"", {{"p", 8443}, {"q", 3128}}},
        {L"https://x/", L"p:abc q", L"", {{"p", -1}, {"q", -1}}},
        {L"https://x/", L"p:0 q:65536 r:99999999999 s:65535", L"", {{"s", 65535}}},
        {L"https://x/", L"[2001:db8::1]:3128 [2001:db8::2] [::1]:0", L"", {{"[2001:db8::1]", 3128}, {"[2001:db8::2]", -1}}},
        {L"https://x/", L"[2001:db8::1:3128 [::1]x ok:1", L"", {{"ok", 1}}},
        {L"https://x/", L"user:pw@host:8080 http://u@h2", L"", {{"host", 8080}, {"h2", -1}}},
        {L"https://x/", L":8080 http:// []:80", L"", {}},
        // The bypass list: "<local>" for names without a dot, '*' patterns, any case; nothing
        // is bypassed unless listed, loopback included.
        {L"https://intranet/", L"p:1", L"<local>", {}},
        {L"https://[::1]/", L"p:1", L"<local>", {{"p", 1}}},
        {L"https://intranet.corp/", L"p:1", L"<LOCAL>", {{"p", 1}}},
        {L"https://a.corp.example/x", L"p:1", L"x.test *.CORP.example", {}},
        {L"https://corp.example/", L"p:1", L"*.corp.example", {{"p", 1}}},
        {L"http://10.1.2.3:8080/", L"p:1", L"foo.test;10.*", {}},
        {L"http://user@Build-7/", L"p:1", L"\tbuild-*", {}},
        {L"https://x.test/", L"p:1", L"x.tes", {{"p", 1}}},
        {L"https://127.0.0.1/", L"p:1", L"", {{"p", 1}}},
        {L"https://localhost/", L"p:1", L"*.localhost", {{"p", 1}}},
    };
    for (const ManualCase& c : cases) {
        Hosts hosts;
        for (const auto& entry : http::ManualProxiesFor(c.url, c.list, c.bypass))
            hosts.emplace_back(entry.host, entry.port);
        EXPECT_EQ(hosts, c.expected) << "url " << c.url << ", list " << c.list << ", bypass " << c.bypass;
    }
}

TEST(ManualProxyList, DiscoveryKeysAreSchemeHostAndPort)
{
    EXPECT_EQ(http::DiscoveryKeyOf(L"https://user@Host/x?y"), L"https://host:443");
    EXPECT_EQ(http::DiscoveryKeyOf(L"HTTPS://host:443/"), L"https://host:443");
    EXPECT_EQ(http::DiscoveryKeyOf(L"http://host"), L"http://host:80");
    EXPECT_EQ(http::DiscoveryKeyOf(L"http://host:8080#a"), L"http://host:8080");
    EXPECT_EQ(http::DiscoveryKeyOf(L"https://[::1]:8443/"), L"https://[::1]:8443");
    EXPECT_EQ(http::DiscoveryKeyOf(L"host/x"), L"http://host:80");
}

TEST(HttpSettings, NamesTheProductAndHasNoProxyCredentials)
{
    const auto settings = std::make_shared<http::HttpSettings>();
    EXPECT_EQ(settings->UserAgent(), RORA_USER_AGENT);
    const auto credentials = settings->ProxyCredentialsFor(http::ProxyEntry{3128, "p"});
    EXPECT_EQ(credentials.user, "");
    EXPECT_EQ(credentials.password, "");
}

} // namespace
