// Runs HttpSettings and CurlHttpClient with the user's real proxy configuration, for
// proxy_discovery_test.py. One process is one proxy cache.
//   proxy_probe proxies URL...   one line per URL: "host:port ..." in order, or "-" for none
//   proxy_probe get URL          "status=N bytes=M", or "error=CODE"

#include <curl/curl.h>

#include "http/curl_http_client.h"
#include "http/errors.h"
#include "http/http_settings.h"
#include "text/text_conversion.h"

#include <cstdio>
#include <memory>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    const std::wstring command = argv[1];
    const auto settings = std::make_shared<http::HttpSettings>();
    if (command == L"proxies") {
        for (int i = 2; i < argc; ++i) {
            std::string line;
            for (const auto& entry : settings->ProxiesFor(text::ToUtf8(argv[i])))
                line += (line.empty() ? "" : " ") + entry.host + ":" + std::to_string(entry.port);
            std::printf("%s\n", line.empty() ? "-" : line.c_str());
        }
        return 0;
    }
    if (command == L"get") {
        if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
            return 3;
        int exitCode = 0;
        try {
            http::CurlHttpClient client(settings);
            http::HttpRequest request;
            request.url = text::ToUtf8(argv[2]);
            const auto response = client.Perform(request, nullptr, nullptr, -1, nullptr, nullptr, nullptr, nullptr);
            std::printf("status=%d bytes=%u\n", response.status, static_cast<unsigned>(response.body.size()));
        } catch (const http::rest_error& error) {
            std::printf("error=%u\n", static_cast<unsigned>(error.code));
            exitCode = 1;
        }
        curl_global_cleanup();
        return exitCode;
    }
    return 2;
}
