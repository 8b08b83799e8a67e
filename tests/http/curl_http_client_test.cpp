// CurlHttpClient against real peers on 127.0.0.1: the scriptable HTTP/HTTPS server and tinyproxy.

#include <curl/curl.h>

#include "http/curl_http_client.h"

#include "build_settings.h"
#include "http/errors.h"
#include "test_peers.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <ios>
#include <optional>
#include <stdexcept>

using namespace peers;
namespace fs = std::filesystem;

namespace {

// Short enough that tests of a stalling server end quickly, long enough for a loaded machine.
const http::testing::Timeouts testTimeouts{5, 3, 10, 3};

class CurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
        ASSERT_FALSE(Env("RORA_HTTP_PORT").empty()) << "the test server hook did not run";
        // Wine's Schannel validates nothing by itself; with a CA file libcurl checks the chain
        // and the host name.
        http::testing::SetCaFile(WindowsPath(Env("RORA_TEST_CA")));
        http::testing::SetTimeouts(testTimeouts);
    }
    void TearDown() override { curl_global_cleanup(); }
};

[[maybe_unused]] ::testing::Environment* const environment = ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

template <typename Error, typename Fn>
std::optional<Error> Raised(Fn&& fn)
{
    try {
        fn();
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "another exception: " << other.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "no exception";
    return std::nullopt;
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class TempFolder {
public:
    TempFolder()
    {
        path_ = fs::temp_directory_path() / ("rora-http-" + std::to_string(::GetCurrentProcessId()) + "-" + Token());
        fs::create_directories(path_);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::wstring File(const wchar_t* name) const { return (path_ / name).wstring(); }

private:
    fs::path path_;
};

// ----- Perform -----

TEST(Perform, SendsMethodHeadersBodyAndUserAgentThenStartsTheNextRequestAfresh)
{
    const auto client = Client();
    const std::string token = Token();
    http::HttpRequest post;
    post.method = "POST";
    post.url = Http() + "/echo/" + token;
    post.headers = {{"Content-Type", "application/json"}, {"Accept", "application/json"}};
    post.body = R"({"id":"AB12"})";
    const auto response = client->Perform(post, nullptr, nullptr, -1, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "got 13");

    // The same client, a plain GET: no method, body or header list of the POST may linger.
    const auto second = Get(*client, Http() + "/bytes/5/" + token);
    EXPECT_EQ(second.body, Pattern(5));

    const auto requests = RequestsWith(token);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, post.body);
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].Header("User-Agent"), RORA_USER_AGENT);
    ASSERT_GE(requests[0].HeaderIndex("Accept"), 0);
    EXPECT_LT(requests[0].HeaderIndex("Accept"), requests[0].HeaderIndex("Content-Type")) << "headers go in map order";
    EXPECT_EQ(requests[1].method, "GET");
    EXPECT_EQ(requests[1].body, "");
    EXPECT_EQ(requests[1].Header("Content-Type"), "");
}

TEST(Perform, StoresHeaderValuesWithoutBlanksAfterTheColonOrLineEnds)
{
    const auto response = Get(*Client(), Http() + "/rawheaders");
    const auto& headers = response.headers;
    EXPECT_EQ(headers.at("X-A"), "12");
    EXPECT_EQ(headers.at("X-Spaced"), "spaced value");
    EXPECT_EQ(headers.at("X-Dup"), "second");
    EXPECT_EQ(headers.at("X-Empty"), "");
    EXPECT_EQ(headers.at("X-Lf"), "bare line feed");
    EXPECT_EQ(headers.at("X-Colons"), "a: b: c");
    EXPECT_EQ(headers.at("Content-Length"), "2");
    for (const auto& [name, value] : headers)
        EXPECT_EQ(name.find("HTTP/"), std::string::npos) << "status line stored as " << name;
    EXPECT_EQ(response.body, "ok");
}

TEST(Perform, AnErrorStatusIsAnAnswerWithItsBody)
{
    const auto response = Get(*Client(), Http() + "/status/404?body=gone%20away");
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(response.body, "gone away");
}

TEST(Perform, AnEmptyUrlIsRefusedWithCode3)
{
    const auto error = Raised<http::connection_error>([] { Get(*Client(), ""); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 3);
    EXPECT_EQ(error->url, "");
    EXPECT_STREQ(error->what(), "Connection Error: 3");
}

TEST(Perform, FollowsRedirectsAndDecodesGzip)
{
    const auto client = Client();
    EXPECT_EQ(Get(*client, Http() + "/redirect?to=/bytes/300").body, Pattern(300));
    EXPECT_EQ(Get(*client, Http() + "/gzip/20000").body, TextPattern(20000));
}

TEST(Perform, CollectsAtMostOneMebibyteOfBody)
{
    const auto client = Client();
    EXPECT_EQ(Get(*client, Http() + "/bytes/1048576").body.size(), 1048576u);
    const std::string url = Http() + "/bytes/1048577";
    const auto error = Raised<http::connection_error>([&] { Get(*client, url); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, CURLE_WRITE_ERROR);
    EXPECT_EQ(error->url, url);
    // Decoded bytes count, not the compressed ones on the wire.
    const auto bomb = Raised<http::connection_error>([&] { Get(*client, Http() + "/gzip/3000000"); });
    ASSERT_TRUE(bomb);
    EXPECT_EQ(bomb->code, CURLE_WRITE_ERROR);
}

TEST(Perform, AServerThatStallsEndsInATimeout)
{
    const auto client = Client();
    for (const char* path : {"/stall-headers?seconds=30", "/stall?after=100&seconds=30"}) {
        const auto start = std::chrono::steady_clock::now();
        const auto error = Raised<http::connection_error>([&] { Get(*client, Http() + path); });
        ASSERT_TRUE(error) << path;
        EXPECT_EQ(error->code, CURLE_OPERATION_TIMEDOUT) << path;
        EXPECT_LT(SecondsSince(start), 8.0) << path;
    }
}

TEST(Perform, ATrickleOfBytesEndsAtTheTotalTimeLimit)
{
    http::testing::SetTimeouts({5, 3, 4, 3});
    const auto start = std::chrono::steady_clock::now();
    const auto error = Raised<http::connection_error>([] { Get(*Client(), Http() + "/drip?interval=0.3"); });
    http::testing::SetTimeouts(testTimeouts);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(SecondsSince(start), 9.0);
}

// ----- Certificates and redirects -----

TEST(Tls, TheTestCaIsTrustedAndOtherCertificatesAreRefused)
{
    const auto client = Client();
    const std::string token = Token();
    EXPECT_EQ(Get(*client, Https() + "/status/200?body=" + token).body, token);
    const auto seen = RequestsWith(token);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].tls);

    for (const char* port : {"RORA_HTTPS_UNKNOWN_CA_PORT", "RORA_HTTPS_WRONG_HOST_PORT"}) {
        const std::string url = Https(port) + "/bytes/10";
        const auto refused = Raised<http::connection_error>([&] { Get(*client, url); });
        ASSERT_TRUE(refused) << port;
        EXPECT_EQ(refused->code, CURLE_PEER_FAILED_VERIFICATION) << port;
    }
}

TEST(Tls, EveryOperationChecksTheCertificate)
{
    const auto client = Client();
    TempFolder folder;
    const auto info = Raised<http::connection_error>(
        [&] { client->GetContentInfo(Https("RORA_HTTPS_WRONG_HOST_PORT") + "/bytes/10/a.exe"); });
    ASSERT_TRUE(info);
    EXPECT_EQ(info->code, CURLE_PEER_FAILED_VERIFICATION);
    const auto download = Raised<http::connection_error>(
        [&] { client->DownloadFile(Https("RORA_HTTPS_UNKNOWN_CA_PORT") + "/bytes/10", folder.File(L"a.exe"), {}); });
    ASSERT_TRUE(download);
    EXPECT_EQ(download->code, CURLE_PEER_FAILED_VERIFICATION);
    const auto check = Raised<http::connection_error>(
        [&] { client->CheckConnection(Https("RORA_HTTPS_UNKNOWN_CA_PORT") + "/"); });
    ASSERT_TRUE(check);
    EXPECT_EQ(check->code, CURLE_PEER_FAILED_VERIFICATION);
    // The connect-only probe must not turn the next request into one.
    EXPECT_EQ(Get(*client, Http() + "/bytes/7").body, Pattern(7));
}

TEST(Tls, ARedirectNeverLeadsFromHttpsToPlainHttp)
{
    const auto client = Client();
    const std::string token = Token();
    const std::string plain = Http() + "/bytes/10/" + token;
    // The scheme as libcurl's parser reads it, however the link spells it.
    const std::string secure = Https().substr(std::string("https://").size());
    for (const std::string scheme : {"https://", "HTTPS://", "https:/"}) {
        const auto error = Raised<http::connection_error>([&] { Get(*client, scheme + secure + "/redirect?to=" + plain); });
        ASSERT_TRUE(error) << scheme;
        EXPECT_EQ(error->code, CURLE_UNSUPPORTED_PROTOCOL) << scheme;
    }
    for (const auto& request : RequestsWith(token))
        EXPECT_TRUE(request.tls) << "the plain-http target was contacted: " << request.path;

    TempFolder folder;
    const auto download = Raised<http::connection_error>(
        [&] { client->DownloadFile(Https() + "/redirect?to=" + plain, folder.File(L"x.exe"), {}); });
    ASSERT_TRUE(download);
    EXPECT_EQ(download->code, CURLE_UNSUPPORTED_PROTOCOL);

    // Upwards is fine.
    EXPECT_EQ(Get(*client, Http() + "/redirect?to=" + Https() + "/bytes/10/" + token).body, Pattern(10));
}

// ----- Content information -----

TEST(ContentInfo, DescribesTheTargetOfTheRedirectsWithAHeadRequest)
{
    const std::string token = Token();
    const std::string target = Http() + "/bytes/1234/" + token + "/RoraSetup.exe";
    const auto info = Client()->GetContentInfo(Http() + "/redirect?to=" + target);
    EXPECT_EQ(info.effectiveUrl, target);
    EXPECT_EQ(info.fileName, "RoraSetup.exe");
    EXPECT_EQ(info.contentType, "application/octet-stream");
    EXPECT_EQ(info.contentLength, 1234u);
    const auto seen = RequestsWith(token); // the redirect names the token too
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& request : seen) {
        EXPECT_EQ(request.method, "HEAD") << request.path;
        EXPECT_EQ(request.Header("User-Agent"), RORA_USER_AGENT);
    }
}

TEST(ContentInfo, NoLengthOrARefusedHeadIsAnUnknownLengthAndAFolderUrlHasNoFileName)
{
    const auto client = Client();
    const auto unknown = client->GetContentInfo(Http() + "/nolength/10/");
    EXPECT_EQ(unknown.contentLength, std::nullopt);
    EXPECT_EQ(unknown.fileName, "");
    EXPECT_EQ(unknown.contentType, "");
    EXPECT_EQ(client->GetContentInfo(Http() + "/length/4294967301").contentLength, 4294967301u) << "must not wrap to 5";
    EXPECT_EQ(client->GetContentInfo(Http() + "/length/4294967295").contentLength, 4294967295u);
    // Servers that refuse HEAD: the answer's length is not the file's, and the GET decides.
    for (const char* status : {"403", "404", "405"}) {
        const auto refused = client->GetContentInfo(Http() + "/status/" + status + "?body=no");
        EXPECT_EQ(refused.contentLength, std::nullopt) << status;
        EXPECT_EQ(refused.fileName, std::string(status) + "?body=no") << "not a failure here";
    }
}

TEST(ContentInfo, LaterRequestsOfTheSameClientFetchTheBody)
{
    const auto client = Client();
    const std::string token = Token();
    const std::string url = Http() + "/bytes/4000/" + token;
    client->GetContentInfo(url);
    TempFolder folder;
    const auto file = folder.File(L"after-head.exe");
    client->DownloadFile(url, file, {});
    EXPECT_EQ(ReadFile(file), Pattern(4000));
    client->GetContentInfo(url);
    EXPECT_EQ(Get(*client, url).body, Pattern(4000));
    const auto seen = RequestsWith(token);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].method, "HEAD");
    EXPECT_EQ(seen[1].method, "GET");
    EXPECT_EQ(seen[2].method, "HEAD");
    EXPECT_EQ(seen[3].method, "GET");
}

// ----- File download -----

TEST(Download, WritesTheBodyAndReportsProgressUpToTheTotal)
{
    TempFolder folder;
    const auto file = folder.File(L"" RORA_INSTALLER_FILE_NAME);
    const std::size_t size = 3 * 1024 * 1024 + 17;
    std::vector<std::pair<double, double>> calls;
    const auto result = Client()->DownloadFile(Http() + "/bytes/" + std::to_string(size), file,
        [&](double total, double now) {
            calls.emplace_back(total, now);
            return true;
        });
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.contentType, "application/octet-stream");
    EXPECT_TRUE(ReadFile(file) == Pattern(size)) << "file content differs";
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), std::make_pair(0.0, 0.0));
    EXPECT_EQ(calls.back(), std::make_pair(double(size), double(size)));
    for (const auto& [total, now] : calls)
        EXPECT_TRUE(total == 0 || total == double(size)) << total;
}

TEST(Download, DecodesGzipAndLeavesAMissingContentTypeEmpty)
{
    TempFolder folder;
    const auto client = Client();
    const auto text = folder.File(L"text.txt");
    EXPECT_EQ(client->DownloadFile(Http() + "/gzip/100000", text, {}).contentType, "text/plain");
    EXPECT_EQ(ReadFile(text), TextPattern(100000));
    const auto bare = folder.File(L"bare.bin");
    EXPECT_EQ(client->DownloadFile(Http() + "/bytes/10?type=none", bare, {}).contentType, "");
    EXPECT_EQ(ReadFile(bare), Pattern(10));
}

TEST(Download, ACallbackThatAnswersFalseCancels)
{
    TempFolder folder;
    const auto file = folder.File(L"cancelled.exe");
    const std::string url = Http() + "/bytes/2000000";
    int calls = 0;
    const auto error = Raised<http::cancel_error>([&] {
        Client()->DownloadFile(url, file, [&](double, double) {
            ++calls;
            return false;
        });
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 42);
    EXPECT_EQ(error->url, url);
    EXPECT_STREQ(error->what(), "An operation was cancelled by a user.");
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(fs::exists(file));
}

TEST(Download, AnErrorStatusRaisesServerErrorAndLeavesTheErrorBody)
{
    TempFolder folder;
    const auto file = folder.File(L"missing.exe");
    const auto error = Raised<http::server_error>([&] { Client()->DownloadFile(Http() + "/nothing-here", file, {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 404);
    EXPECT_STREQ(error->what(), "HTTP (Error: 404) Not Found");
    EXPECT_EQ(error->url, "");
    EXPECT_EQ(ReadFile(file), "not found");
}

TEST(Download, AFolderThatDoesNotExistFailsBeforeAnyRequest)
{
    const std::string token = Token();
    const std::wstring file = (fs::temp_directory_path() / L"rora-no-such-folder" / L"x.exe").wstring();
    const auto missing = Raised<std::ios_base::failure>([&] { Client()->DownloadFile(Http() + "/bytes/10/" + token, file, {}); });
    ASSERT_TRUE(missing);
    EXPECT_STREQ(missing->what(), "Could not create the downloaded file: No such file or directory");
    EXPECT_TRUE(RequestsWith(token).empty());
}

TEST(Download, FailuresInsideCallbacksReachTheCallerAfterTheTransfer)
{
    // /dev/full takes the open but refuses every write: the failure happens inside libcurl's
    // write callback once the stream buffer is flushed.
    const auto full = Raised<std::ios_base::failure>(
        [] { Client()->DownloadFile(Http() + "/bytes/4000000", L"Z:\\dev\\full", {}); });
    ASSERT_TRUE(full);
    // The user learns why, not the stream's "iostream error".
    EXPECT_STREQ(full->what(), "Could not write the downloaded file: No space left on device");

    TempFolder folder;
    const auto thrown = Raised<std::runtime_error>([&] {
        Client()->DownloadFile(Http() + "/bytes/1000", folder.File(L"p.exe"), [](double, double) -> bool {
            throw std::runtime_error("progress failed");
        });
    });
    ASSERT_TRUE(thrown);
    EXPECT_STREQ(thrown->what(), "progress failed");
}

TEST(Download, ADroppedOrStalledTransferFails)
{
    TempFolder folder;
    const auto client = Client();
    const auto dropped = Raised<http::connection_error>(
        [&] { client->DownloadFile(Http() + "/drop/100000?after=5000", folder.File(L"d.exe"), {}); });
    ASSERT_TRUE(dropped);
    EXPECT_EQ(dropped->code, CURLE_PARTIAL_FILE);

    const auto start = std::chrono::steady_clock::now();
    const auto stalled = Raised<http::connection_error>(
        [&] { client->DownloadFile(Http() + "/stall?after=5000&seconds=30", folder.File(L"s.exe"), {}); });
    ASSERT_TRUE(stalled);
    EXPECT_EQ(stalled->code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(SecondsSince(start), 8.0);
}

// ----- Proxy loop (real tinyproxy instances) -----

TEST(ProxyLoop, AProxyWhereNothingListensIsSkipped)
{
    const auto client = Client({LocalProxy("RORA_DEAD_PORT"), LocalProxy("RORA_PROXY_PORT")});
    const std::string token = Token();
    EXPECT_EQ(Get(*client, Http() + "/bytes/100/" + token).body, Pattern(100));
    const auto seen = RequestsWith(token);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].Header("Via").find("tinyproxy"), std::string::npos) << "did not pass the proxy";

    // A tunnel through the proxy still checks the certificate.
    EXPECT_EQ(Get(*client, Https() + "/bytes/20").body, Pattern(20));
    const auto refused = Raised<http::connection_error>([&] { Get(*client, Https("RORA_HTTPS_UNKNOWN_CA_PORT") + "/"); });
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->code, CURLE_PEER_FAILED_VERIFICATION);
}

TEST(ProxyLoop, A407IsAnsweredWithTheCredentialsAndOnlyTheFinalBodyIsKept)
{
    const http::ProxyCredentials good{Env("RORA_PROXY_USER"), Env("RORA_PROXY_PASSWORD")};
    const auto client = Client({LocalProxy("RORA_AUTH_PROXY_PORT")}, good);
    const std::string token = Token();
    // tinyproxy's 407 carries an HTML page; neither the response nor the file may keep it.
    const auto response = Get(*client, Http() + "/bytes/3000/" + token);
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(response.body == Pattern(3000)) << "body starts with: " << response.body.substr(0, 60);

    TempFolder folder;
    const auto file = folder.File(L"via-auth.exe");
    client->DownloadFile(Http() + "/bytes/3000/" + token, file, {});
    EXPECT_TRUE(ReadFile(file) == Pattern(3000)) << "file starts with: " << ReadFile(file).substr(0, 60);

    EXPECT_EQ(Get(*client, Https() + "/bytes/30").body, Pattern(30)) << "tunnel after 407";
}

TEST(ProxyLoop, AProxyThatKeepsAsking407CountsAsFailed)
{
    // The test server, used as a proxy, answers 407 to every request, credentials or not.
    // (tinyproxy answers wrong credentials with 401, an answer rather than a failure.)
    const auto client = Client({LocalProxy("RORA_HTTP_PORT")}, {"user", "password"});
    const std::string url = Http() + "/bytes/10";
    const auto error = Raised<http::connection_error>([&] { Get(*client, url); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, CURLE_COULDNT_RESOLVE_PROXY);
    EXPECT_STREQ(error->what(), "Connection Error: 5");
    EXPECT_EQ(error->url, url);
}

TEST(ProxyLoop, AProxyWithoutPortDoesNotInheritThePreviousPort)
{
    // Were the first proxy's port kept, the second attempt would meet its 407 again (code 5);
    // the second entry goes to port 80 of 127.0.0.1, where nothing listens.
    http::ProxyEntry portless{-1, "127.0.0.1"};
    const auto client = Client({LocalProxy("RORA_HTTP_PORT"), portless}, {"user", "password"});
    const auto error = Raised<http::connection_error>([&] { Get(*client, Http() + "/bytes/10"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, CURLE_COULDNT_CONNECT);
}

TEST(ProxyLoop, AnAttemptThatBrokeOffLeavesNothingBehind)
{
    const auto client = Client({LocalProxy("RORA_PROXY_PORT"), LocalProxy("RORA_PROXY_PORT")});
    // The first request for a flaky path breaks off after half the body; the second succeeds.
    const auto response = Get(*client, Http() + "/flaky/" + Token() + "/200000");
    EXPECT_EQ(response.body.size(), 200000u);
    EXPECT_TRUE(response.body == Pattern(200000));

    TempFolder folder;
    const auto file = folder.File(L"flaky.exe");
    const std::string token = Token();
    client->DownloadFile(Http() + "/flaky/" + token + "/200000", file, {});
    EXPECT_EQ(fs::file_size(file), 200000u);
    EXPECT_TRUE(ReadFile(file) == Pattern(200000));
    EXPECT_EQ(RequestsWith(token).size(), 2u);
}

TEST(ProxyLoop, CancellingStopsTheLoop)
{
    const auto client = Client({LocalProxy("RORA_PROXY_PORT"), LocalProxy("RORA_PROXY_PORT")});
    const std::string token = Token();
    TempFolder folder;
    const auto error = Raised<http::cancel_error>([&] {
        client->DownloadFile(Http() + "/bytes/20000000/" + token, folder.File(L"c.exe"),
            [](double, double now) { return now == 0; });
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(RequestsWith(token).size(), 1u) << "the second proxy was tried";
}

} // namespace
