#include <curl/curl.h>

#include "http/curl_http_client.h"

#include "sys/scope_guard.h"
#include "sys/unique_resource.h"
#include "http/errors.h"
#include "text/text_conversion.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string_view>
#include <system_error>
#include <utility>

namespace http {
namespace {

using UniqueEasy = sys::UniqueResource<CURL*, &curl_easy_cleanup>;
using UniqueSlist = sys::UniqueResource<curl_slist*, &curl_slist_free_all>;

constexpr int curlOk = CURLE_OK;
constexpr int abortedByCallback = CURLE_ABORTED_BY_CALLBACK;
constexpr long proxyAuthRequired = 407;

// libcurl's largest receive buffer: per-receive cost dominates under Wine, not bandwidth.
constexpr long receiveBufferSize = 512 * 1024;
// Bytes gathered before one write to the file: each write is a round trip through Wine.
constexpr std::size_t fileBufferSize = 1024 * 1024;
// Perform collects an answer in memory; anything larger ends as libcurl's write error.
constexpr std::size_t maxCollectedBody = 1024 * 1024;
// A proxy list item without a port means port 80 to Windows, as it does here.
constexpr long defaultProxyPort = 80;
constexpr long maxRedirects = 20;

// Every transfer ends with libcurl's time-out (28) rather than waiting for ever. The settings'
// deadline, while set, cuts every attempt shorter still.
struct Limits {
    long connect; // seconds, name resolution and TLS handshake included
    long stall; // seconds below 1 byte/s
    long total; // seconds, 0: none
};

struct TransferPolicy {
    // The preparation requests block the program before its window is shown.
    Limits preparation{15, 15, 30};
    // The installer may take long on a slow line, but not a minute without a byte.
    Limits download{15, 60, 0};
    std::string caFile; // empty: the Windows certificate store
};

#ifdef RORA_TEST_SEAMS
TransferPolicy& Policy()
{
    static TransferPolicy policy;
    return policy;
}
#else
const TransferPolicy& Policy()
{
    static const TransferPolicy policy;
    return policy;
}
#endif

void SetLong(CURL* curl, CURLoption option, long value) noexcept
{
    curl_easy_setopt(curl, option, value);
}

void SetText(CURL* curl, CURLoption option, const char* value) noexcept
{
    curl_easy_setopt(curl, option, value);
}

void SetPointer(CURL* curl, CURLoption option, void* value) noexcept
{
    curl_easy_setopt(curl, option, value);
}

long ResponseCode(CURL* curl) noexcept
{
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// Certificates and host names are checked in every transfer, through Schannel and the Windows
// store. Revocation is checked where a revocation server answers: installers run behind
// proxies that block those servers.
void ApplyTransferSettings(CURL* curl, const Limits& limits) noexcept
{
    const TransferPolicy& policy = Policy();
    SetLong(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    SetLong(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    SetLong(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
    SetText(curl, CURLOPT_CAINFO, policy.caFile.empty() ? nullptr : policy.caFile.c_str());
    SetText(curl, CURLOPT_CAPATH, nullptr);
    SetPointer(curl, CURLOPT_SSL_CTX_FUNCTION, nullptr);

    SetText(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    SetLong(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    SetLong(curl, CURLOPT_LOW_SPEED_TIME, limits.stall);
}

// Redirects may leave for plain http only from a link whose scheme is http; from https, from any
// other scheme and from a link that does not parse, only https is allowed. The scheme is the one
// libcurl's own parser reads, with the flags of the transfer itself ("HTTPS://h/x" and "https:/h/x"
// are https links to libcurl).
const char* RedirectProtocolsFor(const std::string& url)
{
    using UniqueUrl = sys::UniqueResource<CURLU*, &curl_url_cleanup>;
    const UniqueUrl parsed(curl_url());
    char* scheme = nullptr;
    if (!parsed || curl_url_set(parsed.Get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK
        || curl_url_get(parsed.Get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK)
        return "https";
    const bool plain = std::string_view(scheme) == "http";
    curl_free(scheme);
    return plain ? "http,https" : "https";
}

// Lets go of everything an operation pointed the handle at (its response, stream, header list,
// callback objects), so that a later operation of the same client never reaches them.
void ClearTransferHooks(CURL* curl) noexcept
{
    SetPointer(curl, CURLOPT_HTTPHEADER, nullptr);
    SetPointer(curl, CURLOPT_HEADERFUNCTION, nullptr);
    SetPointer(curl, CURLOPT_HEADERDATA, nullptr);
    SetPointer(curl, CURLOPT_WRITEFUNCTION, nullptr);
    SetPointer(curl, CURLOPT_WRITEDATA, nullptr);
    SetPointer(curl, CURLOPT_READFUNCTION, nullptr);
    SetPointer(curl, CURLOPT_READDATA, nullptr);
    SetPointer(curl, CURLOPT_SEEKFUNCTION, nullptr);
    SetPointer(curl, CURLOPT_SEEKDATA, nullptr);
    CURL_IGNORE_DEPRECATION(SetPointer(curl, CURLOPT_PROGRESSFUNCTION, nullptr);)
    SetPointer(curl, CURLOPT_PROGRESSDATA, nullptr);
    SetLong(curl, CURLOPT_NOPROGRESS, 1L);
    SetText(curl, CURLOPT_CUSTOMREQUEST, nullptr);
    SetLong(curl, CURLOPT_UPLOAD, 0L);
}

// What the attempts of one operation share: their time limits, how to start a further attempt
// afresh, and a failure that a callback caught (rethrown once libcurl has returned).
struct Transfer {
    Limits limits;
    std::function<void()> restart;
    std::exception_ptr failure;
};

struct ResponseSink {
    HttpResponse* response = nullptr;
    Transfer* transfer = nullptr;
};

size_t AppendBody(char* data, size_t size, size_t count, void* user) noexcept
{
    auto& sink = *static_cast<ResponseSink*>(user);
    const size_t length = size * count;
    std::string& body = sink.response->body;
    if (length > maxCollectedBody - body.size())
        return 0;
    try {
        body.append(data, length);
        return length;
    } catch (...) {
        sink.transfer->failure = std::current_exception();
        return 0;
    }
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// "Name: value" followed by the line end. Status lines and the empty line that ends the
// headers are skipped; a later line of the same name replaces the value.
size_t ParseHeaderLine(char* data, size_t size, size_t count, void* user) noexcept
{
    auto& sink = *static_cast<ResponseSink*>(user);
    const size_t length = size * count;
    try {
        std::string_view line(data, length);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0 || IsBlank(line.front()) || line.starts_with("HTTP/"))
            return length;
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && IsBlank(value.front()))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || IsBlank(value.back())))
            value.remove_suffix(1);
        sink.response->headers[std::string(line.substr(0, colon))] = std::string(value);
        return length;
    } catch (...) {
        sink.transfer->failure = std::current_exception();
        return 0;
    }
}

using BodyStream = std::shared_ptr<std::istringstream>;

size_t ReadBody(char* buffer, size_t size, size_t count, void* user) noexcept
{
    try {
        const BodyStream stream = *static_cast<BodyStream*>(user);
        if (!stream)
            return CURL_READFUNC_ABORT;
        if (stream->fail()) {
            if (!stream->eof())
                return CURL_READFUNC_ABORT;
            stream->clear();
            stream->seekg(0);
        }
        return static_cast<size_t>(stream->readsome(buffer, static_cast<std::streamsize>(size * count)));
    } catch (...) {
        return CURL_READFUNC_ABORT;
    }
}

// libcurl rewinds the body when it must send it again (a redirect that keeps the method, an
// authentication round).
int SeekBody(void* user, curl_off_t offset, int origin) noexcept
{
    try {
        const BodyStream stream = *static_cast<BodyStream*>(user);
        if (!stream || origin != SEEK_SET)
            return CURL_SEEKFUNC_CANTSEEK;
        stream->clear();
        stream->seekg(static_cast<std::streamoff>(offset));
        return stream->fail() ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
    } catch (...) {
        return CURL_SEEKFUNC_FAIL;
    }
}

size_t DiscardBody(char* /*data*/, size_t size, size_t count, void* /*user*/) noexcept
{
    return size * count;
}

struct FileSink {
    std::ofstream* stream = nullptr;
    const std::filesystem::path* file = nullptr;
    std::uint64_t written = 0;
    Transfer* transfer = nullptr;
    char* pending = nullptr; // fileBufferSize bytes, of which pendingSize wait for the file
    std::size_t pendingSize = 0;
};

// Whether the volume of `file` has fewer than `needed` bytes left for this user.
bool VolumeIsFull(const std::filesystem::path& file, std::uint64_t needed) noexcept
{
    ULARGE_INTEGER available{}, total{}, free{};
    return ::GetDiskFreeSpaceExW(file.parent_path().c_str(), &available, &total, &free) && available.QuadPart < needed;
}

// The stream's own failure says only "iostream error": say which file operation failed and the
// system's reason (a full disk, a folder that is gone) instead. Keeps the stream failure's type.
// The C runtime's errno is not reliable after a failed write under every system (a full disk
// has been seen as EINVAL), so a write that failed on a full volume says so from the volume.
template <typename Operation>
void OnFile(const char* action, const std::filesystem::path& file, std::uint64_t size, Operation operation)
{
    errno = 0;
    try {
        operation();
    } catch (const std::ios_base::failure&) {
        int error = errno;
        if (size != 0 && VolumeIsFull(file, size))
            error = ENOSPC;
        const std::string what = std::string("Could not ") + action + " the downloaded file";
        if (error != 0)
            throw std::ios_base::failure(what, std::error_code(error, std::generic_category()));
        throw;
    }
}

void WritePending(FileSink& sink)
{
    if (sink.pendingSize == 0)
        return;
    const std::size_t size = std::exchange(sink.pendingSize, 0);
    OnFile("write", *sink.file, size, [&] { sink.stream->write(sink.pending, static_cast<std::streamsize>(size)); });
}

// libcurl hands over at most 16 KiB per call, and a file stream passes any piece of 1 KiB or
// more straight to the file, whatever its own buffer: the pieces are gathered here instead.
size_t WriteToFile(char* data, size_t size, size_t count, void* user) noexcept
{
    auto& sink = *static_cast<FileSink*>(user);
    const size_t length = size * count;
    try {
        if (length > fileBufferSize - sink.pendingSize)
            WritePending(sink);
        if (length >= fileBufferSize) {
            OnFile("write", *sink.file, length, [&] { sink.stream->write(data, static_cast<std::streamsize>(length)); });
        } else {
            std::memcpy(sink.pending + sink.pendingSize, data, length);
            sink.pendingSize += length;
        }
        sink.written += length;
        return length;
    } catch (...) {
        sink.transfer->failure = std::current_exception();
        return 0;
    }
}

struct ProgressSink {
    ProgressCallback* callback = nullptr;
    Transfer* transfer = nullptr;
    const FileSink* file = nullptr;
    CURL* curl = nullptr;
};

// Until the attempt under way has written part of an answer that is not an error to the file,
// libcurl's figures are those of something else (a redirect, a proxy's refusal, an error page,
// an attempt that connects no more): the callback hears 0 of 0 meanwhile.
int ReportProgress(void* user, double downloadTotal, double downloadNow, double /*uploadTotal*/, double /*uploadNow*/) noexcept
{
    auto& sink = *static_cast<ProgressSink*>(user);
    try {
        const bool filling = sink.file->written > 0 && ResponseCode(sink.curl) < 400;
        return (*sink.callback)(filling ? downloadTotal : 0.0, filling ? downloadNow : 0.0) ? 0 : 1;
    } catch (...) {
        sink.transfer->failure = std::current_exception();
        return 1;
    }
}

void OpenTruncated(std::ofstream& stream, const std::filesystem::path& path)
{
    OnFile("create", path, 0, [&] { stream.open(path, std::ios::out | std::ios::binary | std::ios::trunc); });
}

std::string FileNameOf(const std::string& url)
{
    const auto separator = url.find_last_of("/\\");
    return separator == std::string::npos ? url : url.substr(separator + 1);
}

} // namespace

struct CurlHttpClient::Impl {
    UniqueEasy easy;

    CURL* Handle() const noexcept { return easy.Get(); }
};

namespace {

// The proxy loop shared by every operation. Each attempt after the first calls
// transfer.restart, so that only what the successful attempt received is kept.
class Attempts {
public:
    Attempts(CURL* curl, Transfer& transfer, Deadline deadline, const std::string& url)
        : curl_(curl)
        , transfer_(transfer)
        , deadline_(deadline)
        , url_(url)
    {
    }

    int Run()
    {
        ApplyTimeLimits();
        if (started_ && transfer_.restart)
            transfer_.restart();
        started_ = true;
        return static_cast<int>(curl_easy_perform(curl_));
    }

    // An empty proxy: neither an earlier attempt's proxy nor libcurl's proxy variables in the
    // environment reach a direct transfer.
    int Direct()
    {
        SetText(curl_, CURLOPT_PROXY, "");
        return Run();
    }

    // A time-out at the deadline is the deadline's, whichever attempt met it. libcurl's own
    // clock may call it a millisecond early.
    void CheckDeadline(int result) const
    {
        if (result == CURLE_OPERATION_TIMEDOUT && deadline_
            && std::chrono::steady_clock::now() + std::chrono::milliseconds(50) >= *deadline_)
            throw PreparationTimeout(url_);
    }

    bool Done(int result) const noexcept
    {
        return result == curlOk || result == abortedByCallback || transfer_.failure;
    }

    int ViaProxy(const ProxyEntry& entry, const ProxyCredentials& credentials)
    {
        SetText(curl_, CURLOPT_PROXY, entry.host.c_str());
        SetLong(curl_, CURLOPT_PROXYPORT, entry.port > 0 ? static_cast<long>(entry.port) : defaultProxyPort);
        SetLong(curl_, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_NONE));
        int result = Run();
        if (transfer_.failure)
            return result;
        // A tunnel refused with 407 ends in CURLE_RECV_ERROR; a plain request returns the 407.
        const bool retry = result == curlOk ? ResponseCode(curl_) == proxyAuthRequired : result == CURLE_RECV_ERROR;
        if (!retry)
            return result;

        SetLong(curl_, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
        SetText(curl_, CURLOPT_PROXYUSERNAME, credentials.user.c_str());
        SetText(curl_, CURLOPT_PROXYPASSWORD, credentials.password.c_str());
        result = Run();
        if (result != curlOk)
            return result;
        return ResponseCode(curl_) == proxyAuthRequired ? static_cast<int>(CURLE_COULDNT_RESOLVE_PROXY) : curlOk;
    }

private:
    // The operation's own limits, cut to what is left before the deadline; past it, no attempt.
    void ApplyTimeLimits() const
    {
        long connectMs = transfer_.limits.connect * 1000;
        long totalMs = transfer_.limits.total * 1000;
        if (deadline_) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - std::chrono::steady_clock::now()).count();
            if (left <= 0)
                throw PreparationTimeout(url_);
            connectMs = static_cast<long>(std::min<long long>(connectMs, left));
            totalMs = static_cast<long>(totalMs == 0 ? left : std::min<long long>(totalMs, left));
        }
        SetLong(curl_, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
        SetLong(curl_, CURLOPT_TIMEOUT_MS, totalMs);
    }

    CURL* curl_;
    Transfer& transfer_;
    Deadline deadline_;
    const std::string& url_;
    bool started_ = false;
};

int PerformWithProxies(CURL* curl, HttpSettings* settings, const std::string& url, Transfer& transfer)
{
    if (url.empty())
        CheckCurlResult(CURLE_URL_MALFORMAT, std::string());
    SetText(curl, CURLOPT_URL, url.c_str());
    SetText(curl, CURLOPT_REDIR_PROTOCOLS_STR, RedirectProtocolsFor(url));

    const std::vector<ProxyEntry> proxies = settings ? settings->ProxiesFor(url) : std::vector<ProxyEntry>();
    Attempts attempts(curl, transfer, settings ? settings->GetDeadline() : Deadline(), url);
    int result = curlOk;
    if (proxies.empty())
        result = attempts.Direct();
    for (const ProxyEntry& entry : proxies) {
        const ProxyCredentials credentials = settings->ProxyCredentialsFor(entry);
        result = attempts.ViaProxy(entry, credentials);
        if (attempts.Done(result))
            break;
    }
    attempts.CheckDeadline(result);
    return result;
}

void SetUserAgent(CURL* curl, HttpSettings* settings)
{
    const std::string agent = settings ? settings->UserAgent() : std::string();
    if (!agent.empty())
        SetText(curl, CURLOPT_USERAGENT, agent.c_str());
}

} // namespace

CurlHttpClient::CurlHttpClient(std::shared_ptr<HttpSettings> settings)
    : impl_(std::make_unique<Impl>())
    , settings_(std::move(settings))
{
    impl_->easy.Reset(curl_easy_init());
    if (!impl_->easy)
        CheckCurlResult(CURLE_FAILED_INIT, std::string());

    CURL* curl = impl_->Handle();
    SetText(curl, CURLOPT_ACCEPT_ENCODING, "");
    SetLong(curl, CURLOPT_TRANSFER_ENCODING, 1L);
    SetLong(curl, CURLOPT_AUTOREFERER, 1L);
    SetLong(curl, CURLOPT_FOLLOWLOCATION, 1L);
    SetText(curl, CURLOPT_COOKIELIST, "ALL");
    SetLong(curl, CURLOPT_MAXREDIRS, maxRedirects);
    SetLong(curl, CURLOPT_BUFFERSIZE, receiveBufferSize);
}

CurlHttpClient::~CurlHttpClient() = default;

void CurlHttpClient::SetAuthMethod(int method)
{
    const std::lock_guard guard(lock_);
    unsigned long auth = CURLAUTH_NONE;
    switch (method) {
    case 1: auth = CURLAUTH_BASIC; break;
    case 2: auth = CURLAUTH_DIGEST; break;
    case 3: auth = CURLAUTH_NEGOTIATE; break;
    case 4: auth = CURLAUTH_NTLM; break;
    case 5: auth = CURLAUTH_ANY; break;
    default: break;
    }
    SetLong(impl_->Handle(), CURLOPT_HTTPAUTH, static_cast<long>(auth));
}

void CurlHttpClient::SetUserCredentials(const std::wstring& user, const std::wstring& password)
{
    const std::lock_guard guard(lock_);
    if (user.empty() || password.empty())
        return;
    const std::string joined = text::ToUtf8(user) + ":" + text::ToUtf8(password);
    SetText(impl_->Handle(), CURLOPT_USERPWD, joined.c_str());
}

void CurlHttpClient::SetProxyCredentials(const std::wstring& user, const std::wstring& password)
{
    const std::lock_guard guard(lock_);
    if (user.empty() || password.empty())
        return;
    const std::string joined = text::ToUtf8(user) + ":" + text::ToUtf8(password);
    SetText(impl_->Handle(), CURLOPT_PROXYUSERPWD, joined.c_str());
}

void CurlHttpClient::SetCookie(const std::string& cookie)
{
    const std::lock_guard guard(lock_);
    SetText(impl_->Handle(), CURLOPT_COOKIE, cookie.empty() ? nullptr : cookie.c_str());
}

void CurlHttpClient::CheckConnection(const std::string& url)
{
    CURL* curl = impl_->Handle();
    ApplyTransferSettings(curl, Policy().preparation);
    SetLong(curl, CURLOPT_CONNECT_ONLY, 1L);
    int result = curlOk;
    {
        const auto connectOnly = sys::ScopeGuard([curl] { SetLong(curl, CURLOPT_CONNECT_ONLY, 0L); });
        Transfer transfer;
        transfer.limits = Policy().preparation;
        transfer.limits.connect = 10;
        result = PerformWithProxies(curl, settings_.get(), url, transfer);
    }
    CheckCurlResult(result, url);
}

HttpResponse CurlHttpClient::Perform(const HttpRequest& request, ReadCallback readCallback, void* readData,
    std::int64_t uploadSize, WriteCallback writeCallback, void* writeData, ProgressFunction progressCallback,
    void* progressData)
{
    const std::lock_guard guard(lock_);
    CURL* curl = impl_->Handle();
    const auto hooks = sys::ScopeGuard([curl] { ClearTransferHooks(curl); });
    ApplyTransferSettings(curl, Policy().preparation);

    // A plain GET unless the request says otherwise; also ends the body-less mode of
    // GetContentInfo.
    SetLong(curl, CURLOPT_HTTPGET, 1L);
    if (!request.method.empty())
        SetText(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());

    UniqueSlist headerList;
    for (const auto& [name, value] : request.headers) {
        const std::string line = name + ": " + value;
        curl_slist* extended = curl_slist_append(headerList.Get(), line.c_str());
        if (!extended)
            throw std::bad_alloc();
        headerList.Release();
        headerList.Reset(extended);
    }
    if (headerList)
        SetPointer(curl, CURLOPT_HTTPHEADER, headerList.Get());

    BodyStream bodyStream;
    if (!request.body.empty()) {
        bodyStream = std::make_shared<std::istringstream>(request.body, std::ios::in | std::ios::binary);
        SetLong(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadBody);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        SetPointer(curl, CURLOPT_READDATA, &bodyStream);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &SeekBody);
        SetPointer(curl, CURLOPT_SEEKDATA, &bodyStream);
    } else if (readCallback) {
        SetLong(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readCallback);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(uploadSize));
        SetPointer(curl, CURLOPT_READDATA, readData);
    } else {
        SetLong(curl, CURLOPT_UPLOAD, 0L);
    }

    HttpResponse response;
    Transfer transfer;
    transfer.limits = Policy().preparation;
    ResponseSink sink{&response, &transfer};
    if (writeCallback) {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeCallback);
        SetPointer(curl, CURLOPT_WRITEDATA, writeData);
    } else {
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody);
        SetPointer(curl, CURLOPT_WRITEDATA, &sink);
    }
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &ParseHeaderLine);
    SetPointer(curl, CURLOPT_HEADERDATA, &sink);

    if (progressCallback) {
        CURL_IGNORE_DEPRECATION(curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, progressCallback);)
        SetPointer(curl, CURLOPT_PROGRESSDATA, progressData);
        SetLong(curl, CURLOPT_NOPROGRESS, 0L);
    } else {
        SetLong(curl, CURLOPT_NOPROGRESS, 1L);
    }
    SetUserAgent(curl, settings_.get());

    transfer.restart = [&] {
        response.headers.clear();
        if (!writeCallback)
            response.body.clear();
        if (bodyStream) {
            bodyStream->clear();
            bodyStream->seekg(0);
        }
    };
    const int result = PerformWithProxies(curl, settings_.get(), request.url, transfer);
    if (transfer.failure)
        std::rethrow_exception(transfer.failure);
    CheckCurlResult(result, request.url);
    response.status = static_cast<int>(ResponseCode(curl));
    return response;
}

ContentInfo CurlHttpClient::GetContentInfo(const std::string& url)
{
    CURL* curl = impl_->Handle();
    const auto hooks = sys::ScopeGuard([curl] { ClearTransferHooks(curl); });
    ApplyTransferSettings(curl, Policy().preparation);
    SetLong(curl, CURLOPT_HEADER, 0L);
    SetLong(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DiscardBody);
    SetUserAgent(curl, settings_.get());

    Transfer transfer;
    transfer.limits = Policy().preparation;
    const int result = PerformWithProxies(curl, settings_.get(), url, transfer);
    CheckCurlResult(result, url);

    ContentInfo info;
    const char* effectiveUrl = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &effectiveUrl) == CURLE_OK && effectiveUrl && *effectiveUrl) {
        info.effectiveUrl = effectiveUrl;
        info.fileName = FileNameOf(info.effectiveUrl);
    }
    const char* contentType = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType && *contentType)
        info.contentType = contentType;
    // Servers that refuse HEAD answer 403 or 405: the length is unknown then, and the download
    // itself tells whether the file is there.
    curl_off_t length = -1;
    if (ResponseCode(curl) < 400 && curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK
        && length >= 0)
        info.contentLength = static_cast<std::uint64_t>(length);
    return info;
}

DownloadResult CurlHttpClient::DownloadFile(const std::string& url, const std::wstring& path, ProgressCallback callback)
{
    const std::filesystem::path file(path);
    const auto buffer = std::make_unique<char[]>(fileBufferSize);
    std::ofstream stream;
    stream.exceptions(std::ios::failbit | std::ios::badbit);
    OpenTruncated(stream, file);

    CURL* curl = impl_->Handle();
    const auto hooks = sys::ScopeGuard([curl] { ClearTransferHooks(curl); });
    ApplyTransferSettings(curl, Policy().download);
    SetLong(curl, CURLOPT_HTTPGET, 1L);

    Transfer transfer;
    transfer.limits = Policy().download;
    FileSink sink{&stream, &file, 0, &transfer, buffer.get(), 0};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteToFile);
    SetPointer(curl, CURLOPT_WRITEDATA, &sink);

    ProgressSink progress{&callback, &transfer, &sink, curl};
    if (callback) {
        CURL_IGNORE_DEPRECATION(curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, &ReportProgress);)
        SetPointer(curl, CURLOPT_PROGRESSDATA, &progress);
        SetLong(curl, CURLOPT_NOPROGRESS, 0L);
    } else {
        SetLong(curl, CURLOPT_NOPROGRESS, 1L);
    }
    SetUserAgent(curl, settings_.get());

    transfer.restart = [&] {
        if (sink.written == 0)
            return;
        stream.close();
        OpenTruncated(stream, file);
        sink.written = 0;
        sink.pendingSize = 0;
    };
    const int result = PerformWithProxies(curl, settings_.get(), url, transfer);
    if (transfer.failure) {
        stream.exceptions(std::ios::goodbit);
        WritePending(sink);
        stream.close();
        std::rethrow_exception(transfer.failure);
    }
    WritePending(sink);
    OnFile("write", file, 1, [&] { stream.close(); });
    CheckCurlResult(result, url);

    const long status = ResponseCode(curl);
    if (status >= 400)
        throw server_error(static_cast<int>(status), std::string(), std::string());
    DownloadResult downloaded;
    downloaded.status = static_cast<int>(status);
    const char* contentType = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType) == CURLE_OK && contentType)
        downloaded.contentType = contentType;
    return downloaded;
}

// Only from the thread that runs the transfer (inside its progress callback, for example):
// a libcurl handle is never used by two threads at once.
int CurlHttpClient::Pause(bool pause)
{
    return static_cast<int>(curl_easy_pause(impl_->Handle(), pause ? CURLPAUSE_ALL : CURLPAUSE_CONT));
}

#ifdef RORA_TEST_SEAMS
namespace testing {

void SetCaFile(const std::string& path)
{
    Policy().caFile = path;
}

void SetTimeouts(const Timeouts& timeouts)
{
    Policy().preparation = Limits{timeouts.connect, timeouts.preparationStall, timeouts.preparationTotal};
    Policy().download = Limits{timeouts.connect, timeouts.downloadStall, 0};
}

Timeouts DefaultTimeouts()
{
    const TransferPolicy defaults;
    return Timeouts{defaults.preparation.connect, defaults.preparation.stall, defaults.preparation.total,
        defaults.download.stall};
}

} // namespace testing
#endif

} // namespace http
