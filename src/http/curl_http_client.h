#pragma once

#include "http/http_client.h"
#include "http/http_settings.h"

#include <memory>
#include <mutex>

namespace http {

// HttpClient over one libcurl easy handle. Made with std::make_shared from the shared
// settings; throws connection_error (code 2) when libcurl cannot make a handle.
class CurlHttpClient : public HttpClient {
public:
    explicit CurlHttpClient(std::shared_ptr<HttpSettings> settings);
    ~CurlHttpClient() override;
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    void SetAuthMethod(int method) override;
    void SetUserCredentials(const std::wstring& user, const std::wstring& password) override;
    void SetProxyCredentials(const std::wstring& user, const std::wstring& password) override;
    void SetCookie(const std::string& cookie) override;
    void CheckConnection(const std::string& url) override;
    HttpResponse Perform(const HttpRequest& request, ReadCallback readCallback, void* readData,
        std::int64_t uploadSize, WriteCallback writeCallback, void* writeData,
        ProgressFunction progressCallback, void* progressData) override;
    ContentInfo GetContentInfo(const std::string& url) override;
    DownloadResult DownloadFile(const std::string& url, const std::wstring& path, ProgressCallback callback) override;
    int Pause(bool pause) override;

private:
    struct Impl;
    std::mutex lock_;
    std::unique_ptr<Impl> impl_;
    std::shared_ptr<HttpSettings> settings_;
};

#ifdef RORA_TEST_SEAMS
// Test builds only (never in the shipped program).
namespace testing {

// A PEM file of trusted CAs that libcurl checks the server's chain and host name against
// itself, as Wine's Schannel validates nothing on its own. Empty: the Windows store.
void SetCaFile(const std::string& path);

// Time-outs in seconds, so that tests of a stalling server stay short. A total of 0 means none.
struct Timeouts {
    long connect;
    long preparationStall; // Perform, GetContentInfo: no byte for this long ends the transfer
    long preparationTotal;
    long downloadStall;
};
void SetTimeouts(const Timeouts& timeouts);
Timeouts DefaultTimeouts();

} // namespace testing
#endif

} // namespace http
