// Proxy-list parsing and the fixed answers of HttpSettings. Discovery against Wine's WinHTTP
// runs in proxy_discovery_test.py, one process per configuration.

#include "http/http_settings.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using Hosts = std::vector<std::pair<std::string, int>>;

Hosts Parse(const wchar_t* scheme, const wchar_t* list)
{
    Hosts hosts;
    for (const auto& entry : http::ParseProxyList(scheme, list))
        hosts.emplace_back(entry.host, entry.port);
    return hosts;
}

TEST(ProxyList, SchemeSpecificItemsApplyOnlyToTheirScheme)
{
    EXPECT_EQ(Parse(L"https", L"http=a:80;https=b:443"), (Hosts{{"b", 443}}));
    EXPECT_EQ(Parse(L"http", L"http=a:80;https=b:443"), (Hosts{{"a", 80}}));
    EXPECT_EQ(Parse(L"https", L"socks=s:1080"), Hosts{});
    EXPECT_EQ(Parse(L"https", L"HTTPS=b:443"), Hosts{}) << "schemes compare exactly";
}

TEST(ProxyList, ItemsSplitAtBlanksAndSemicolons)
{
    EXPECT_EQ(Parse(L"https", L"a:80; b:81"), (Hosts{{"a", 80}, {"b", 81}}));
    EXPECT_EQ(Parse(L"http", L"\ta:1\r\n;;b:2  "), (Hosts{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(Parse(L"http", L""), Hosts{});
}

TEST(ProxyList, SchemesAndPortsAreReadLeniently)
{
    EXPECT_EQ(Parse(L"https", L"https://p:8443"), (Hosts{{"p", 8443}}));
    EXPECT_EQ(Parse(L"https", L"https=http://p:3128/"), (Hosts{{"p", 3128}}));
    EXPECT_EQ(Parse(L"https", L"p:abc"), (Hosts{{"p", -1}}));
    EXPECT_EQ(Parse(L"https", L"p"), (Hosts{{"p", -1}}));
    EXPECT_EQ(Parse(L"https", L"p:99999999999"), (Hosts{{"p", -1}}));
    EXPECT_EQ(Parse(L"https", L"p:70000 q:0"), (Hosts{{"p", -1}, {"q", -1}}));
}

TEST(ProxyList, SchemeOfAUrlWithoutSchemeIsHttp)
{
    EXPECT_EQ(http::SchemeOf(L"https://host/x"), L"https");
    EXPECT_EQ(http::SchemeOf(L"host/x"), L"http");
}

TEST(HttpSettings, NamesTheProductAndHasNoProxyCredentials)
{
    const auto settings = std::make_shared<http::HttpSettings>();
    EXPECT_EQ(settings->UserAgent(), "Rora REZ Idadezo 15 Installer");
    const auto credentials = settings->ProxyCredentialsFor(http::ProxyEntry{3128, "p"});
    EXPECT_EQ(credentials.user, "");
    EXPECT_EQ(credentials.password, "");
}

} // namespace
