#pragma once

// The real peers of the HTTP tests: the scriptable server of tests/servers/test_server.py and
// its request log, the tinyproxy instances of tests/servers/start-proxy.sh, and settings that
// name a fixed proxy list.

#include "http/curl_http_client.h"
#include "http/http_settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace peers {

inline std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A Linux path as Wine shows it to a Windows program.
inline std::string WindowsPath(const std::string& linuxPath)
{
    std::string path = "Z:" + linuxPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

inline std::string Http()
{
    return "http://127.0.0.1:" + Env("RORA_HTTP_PORT");
}

// libcurl checks only DNS names against a CA file: always "localhost".
inline std::string Https(const char* portVariable = "RORA_HTTPS_PORT")
{
    return "https://localhost:" + Env(portVariable);
}

// A path element no other request of the run uses, to find this test's requests in the log.
// The log lives as long as the test environment, which may see several runs.
inline std::string Token()
{
    static const auto run = std::chrono::system_clock::now().time_since_epoch().count();
    static int counter = 0;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string token = "t-";
    token += info ? info->name() : "none";
    token += "-" + std::to_string(run) + "-" + std::to_string(++counter);
    return token;
}

// Byte i of the server's test pattern is i % 251.
inline std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

inline std::string TextPattern(std::size_t size)
{
    const std::string line = "The quick brown fox jumps over the lazy dog.\n";
    std::string text;
    while (text.size() < size)
        text += line;
    return text.substr(0, size);
}

struct RecordedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool tls = false;

    // The value of the first header of that name (case-insensitive), or "".
    std::string Header(const std::string& name) const
    {
        for (const auto& [key, value] : headers) {
            if (key.size() != name.size())
                continue;
            bool same = true;
            for (std::size_t i = 0; i < key.size() && same; ++i)
                same = std::tolower(static_cast<unsigned char>(key[i])) == std::tolower(static_cast<unsigned char>(name[i]));
            if (same)
                return value;
        }
        return "";
    }

    // Position of a header in the order sent, or -1.
    int HeaderIndex(const std::string& name) const
    {
        for (std::size_t i = 0; i < headers.size(); ++i)
            if (headers[i].first == name)
                return static_cast<int>(i);
        return -1;
    }
};

// Every request the server received whose path contains `token`, in arrival order.
inline std::vector<RecordedRequest> RequestsWith(const std::string& token)
{
    std::ifstream log(WindowsPath(Env("RORA_HTTP_LOG")), std::ios::binary);
    std::vector<RecordedRequest> found;
    std::string line;
    while (std::getline(log, line)) {
        if (line.find(token) == std::string::npos)
            continue;
        const auto entry = nlohmann::json::parse(line, nullptr, false);
        if (entry.is_discarded())
            continue;
        RecordedRequest request;
        request.method = entry.value("method", "");
        request.path = entry.value("path", "");
        if (request.path.find(token) == std::string::npos)
            continue;
        request.body = entry.value("body", "");
        request.tls = entry.value("tls", false);
        for (const auto& header : entry["headers"])
            request.headers.emplace_back(header[0].get<std::string>(), header[1].get<std::string>());
        found.push_back(std::move(request));
    }
    return found;
}

inline std::string ReadFile(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline http::ProxyEntry LocalProxy(const char* portVariable)
{
    return http::ProxyEntry{std::atoi(Env(portVariable).c_str()), "127.0.0.1"};
}

// Settings with a fixed proxy list and proxy credentials in place of the user's configuration.
class FixedSettings final : public http::HttpSettings {
public:
    FixedSettings(std::vector<http::ProxyEntry> proxies, http::ProxyCredentials credentials)
        : proxies_(std::move(proxies))
        , credentials_(std::move(credentials))
    {
    }

    std::vector<http::ProxyEntry> ProxiesFor(const std::string& /*url*/) override { return proxies_; }
    http::ProxyCredentials ProxyCredentialsFor(const http::ProxyEntry& /*entry*/) override { return credentials_; }

private:
    std::vector<http::ProxyEntry> proxies_;
    http::ProxyCredentials credentials_;
};

inline std::shared_ptr<http::HttpClient> Client(std::vector<http::ProxyEntry> proxies = {},
    http::ProxyCredentials credentials = {})
{
    return std::make_shared<http::CurlHttpClient>(
        std::make_shared<FixedSettings>(std::move(proxies), std::move(credentials)));
}

inline http::HttpResponse Get(http::HttpClient& client, const std::string& url)
{
    http::HttpRequest request;
    request.method = "GET";
    request.url = url;
    return client.Perform(request, nullptr, nullptr, -1, nullptr, nullptr, nullptr, nullptr);
}

} // namespace peers
