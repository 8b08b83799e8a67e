// The client gathers the pieces of a download into large file writes (each write is a round trip
// through Wine). Whatever way a transfer ends, the file holds every byte that reached the client,
// and nothing of an earlier attempt.
#include <curl/curl.h>

#include "http/curl_http_client.h"
#include "http/errors.h"
#include "http/http_settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace fs = std::filesystem;

namespace {

class CurlLibrary : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
    void TearDown() override { curl_global_cleanup(); }
};
const auto* const curlLibrary = ::testing::AddGlobalTestEnvironment(new CurlLibrary);

std::string Server()
{
    const char* port = std::getenv("RORA_HTTP_PORT");
    return std::string("http://127.0.0.1:") + (port ? port : "1");
}

// Byte i of the test server's pattern is i % 251.
std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class FileWrites : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("RORA_HTTP_PORT"), nullptr) << "the test server hook did not run";
        folder = fs::temp_directory_path() / ("file-writes-" + std::to_string(std::random_device()()));
        fs::create_directories(folder);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    fs::path folder;
    std::shared_ptr<http::CurlHttpClient> client = std::make_shared<http::CurlHttpClient>(std::make_shared<http::HttpSettings>());
};

TEST_F(FileWrites, EveryByteReachesTheFileAcrossBufferBoundaries)
{
    // Around the 1 MiB the client gathers: one byte short, exact, one over, several and a rest.
    for (const std::size_t size : {std::size_t(1), std::size_t(1048575), std::size_t(1048576), std::size_t(1048577),
             std::size_t(5 * 1048576 + 12345)}) {
        const fs::path file = folder / ("file-" + std::to_string(size));
        const auto result = client->DownloadFile(Server() + "/bytes/" + std::to_string(size), file.wstring(), {});
        EXPECT_EQ(result.status, 200);
        EXPECT_TRUE(ReadFile(file) == Pattern(size)) << size << " bytes: the file holds " << fs::file_size(file);
    }
}

TEST_F(FileWrites, ACancelledTransferLeavesEveryByteReceivedSoFar)
{
    // Paced, so that the cancel comes in the middle of the body, with bytes still gathered.
    const fs::path file = folder / "cancelled.exe";
    double received = 0;
    EXPECT_THROW(client->DownloadFile(Server() + "/paced/3000000?pieces=20", file.wstring(),
                     [&](double total, double now) {
                         received = now;
                         return total == 0 || now < total / 2;
                     }),
        http::cancel_error);
    ASSERT_GT(received, 0);
    ASSERT_LT(received, 3000000);
    const std::string body = ReadFile(file);
    EXPECT_EQ(body.size(), static_cast<std::size_t>(received));
    EXPECT_TRUE(body == Pattern(body.size())) << "the partial file is not the start of the body";
}

TEST_F(FileWrites, AFailingProgressCallbackLeavesEveryByteReceivedSoFar)
{
    const fs::path file = folder / "failed.exe";
    double received = 0;
    EXPECT_THROW(client->DownloadFile(Server() + "/paced/3000000?pieces=20", file.wstring(),
                     [&](double total, double now) {
                         received = now;
                         if (total > 0 && now >= total / 2)
                             throw std::runtime_error("the window is gone");
                         return true;
                     }),
        std::runtime_error);
    ASSERT_GT(received, 0);
    const std::string body = ReadFile(file);
    EXPECT_EQ(body.size(), static_cast<std::size_t>(received));
    EXPECT_TRUE(body == Pattern(body.size())) << "the partial file is not the start of the body";
}

TEST_F(FileWrites, ABrokenTransferLeavesEveryByteReceived)
{
    const fs::path file = folder / "broken.exe";
    EXPECT_THROW(client->DownloadFile(Server() + "/drop/500000?after=300000", file.wstring(), {}), http::connection_error);
    EXPECT_TRUE(ReadFile(file) == Pattern(300000)) << "the file holds " << fs::file_size(file) << " bytes";
}

} // namespace
