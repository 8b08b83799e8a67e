#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace http {

struct HttpRequest {
    std::string method; // empty: libcurl's own choice
    std::string url; // UTF-8
    std::map<std::string, std::string> headers;
    std::string body; // empty: no body
};

struct HttpResponse {
    int status = 0;
    std::map<std::string, std::string> headers;
    std::string body;
};

struct ContentInfo {
    std::string effectiveUrl;
    std::string fileName; // UTF-8, last element of the effective URL's path
    std::string contentType;
    std::optional<std::uint64_t> contentLength; // none when the server gave none or refused HEAD
};

struct DownloadResult {
    int status = 0;
    std::string contentType;
};

// (total, now) in bytes; total is 0 while unknown, and both are 0 until the attempt under way
// has written part of an answer that is not an error. Return false to cancel the transfer.
using ProgressCallback = std::function<bool(double, double)>;

using ReadCallback = size_t (*)(char* buffer, size_t size, size_t count, void* data);
using WriteCallback = size_t (*)(char* buffer, size_t size, size_t count, void* data);
using ProgressFunction = int (*)(void* data, double downloadTotal, double downloadNow, double uploadTotal, double uploadNow);

class HttpClient {
public:
    virtual ~HttpClient() = default;
    virtual void SetAuthMethod(int method) = 0;
    virtual void SetUserCredentials(const std::wstring& user, const std::wstring& password) = 0;
    virtual void SetProxyCredentials(const std::wstring& user, const std::wstring& password) = 0;
    virtual void SetCookie(const std::string& cookie) = 0;
    virtual void CheckConnection(const std::string& url) = 0;
    virtual HttpResponse Perform(const HttpRequest& request, ReadCallback readCallback, void* readData,
        std::int64_t uploadSize, WriteCallback writeCallback, void* writeData,
        ProgressFunction progressCallback, void* progressData)
        = 0;
    virtual ContentInfo GetContentInfo(const std::string& url) = 0;
    virtual DownloadResult DownloadFile(const std::string& url, const std::wstring& path, ProgressCallback callback) = 0;
    virtual int Pause(bool pause) = 0;
};

} // namespace http
