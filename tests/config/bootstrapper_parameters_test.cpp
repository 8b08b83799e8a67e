#include "config/bootstrapper_parameters.h"

#include "../http/test_peers.h"
#include "http/http_settings.h"
#include "product_key_fixture.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using regtest::nativeView;

TEST(IdentifierFromFileName, TakesTheTextAfterTheLastDash)
{
    using config::IdentifierFromFileName;
    EXPECT_EQ(IdentifierFromFileName(L"C:\\Users\\me\\Downloads\\Setup-AB12CD.exe"), L"AB12CD");
    EXPECT_EQ(IdentifierFromFileName(L"Z:\\x\\Setup-AB12CD (1).exe"), L"AB12CD");
    EXPECT_EQ(IdentifierFromFileName(L"a-b-c.exe"), L"c");
    EXPECT_EQ(IdentifierFromFileName(L"Setup.exe"), L"");
    EXPECT_EQ(IdentifierFromFileName(L"Setup-.exe"), L"");
    EXPECT_EQ(IdentifierFromFileName(L"Setup - copy.exe"), L"");
    EXPECT_EQ(IdentifierFromFileName(L"dir-with-dash\\Setup.exe"), L"") << "only the file name counts";
    EXPECT_EQ(IdentifierFromFileName(L"Setup-XY.tar.exe"), L"XY.tar") << "only the last extension goes";
    EXPECT_EQ(IdentifierFromFileName(L"Setup-XY"), L"XY");
    EXPECT_EQ(IdentifierFromFileName(L".hidden-id"), L"id") << "a leading dot is no extension";
    EXPECT_EQ(IdentifierFromFileName(L"Setup-AB.exe:Zone.Identifier"), L"AB");
    EXPECT_EQ(IdentifierFromFileName(L"Setup-A\tB\x0b" L"C.exe"), L"ABC");
    EXPECT_EQ(IdentifierFromFileName(L"Setup-\u00e9t\u00e9.exe"), L"\u00e9t\u00e9");
}

namespace {

std::string UrlEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.')
            out += static_cast<char>(c);
        else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string Server()
{
    const char* port = std::getenv("RORA_HTTP_PORT");
    return std::string("http://127.0.0.1:") + (port ? port : "1");
}

std::string Bytes(const std::vector<std::uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// The parameter service answers `status` with `body`; the identifier goes after "&id=".
class ParameterFetch : public regtest::ProductKeyTest {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_ALL); }
    static void TearDownTestSuite() { curl_global_cleanup(); }

    void Answer(int status, const std::string& body)
    {
        regtest::WriteRawString(nativeView, L"Installation", L"QaBootstrapperRequestParamsLink",
            text(Server() + "/status/" + std::to_string(status) + "?body=" + UrlEncode(body) + "&id="));
    }

    static std::wstring text(const std::string& s) { return std::wstring(s.begin(), s.end()); }

    void Fetch() { config::FetchBootstrapperParameters(std::make_shared<http::HttpSettings>()); }

    static std::optional<std::string> Stored(const std::wstring& subkey, const std::wstring& name)
    {
        const auto value = regtest::ReadRaw(nativeView, subkey, name);
        if (!value)
            return std::nullopt;
        return Bytes(value->bytes);
    }

    static std::string Wide(const std::wstring& s) { return Bytes(regtest::StringBytes(s)); }
};

} // namespace

TEST_F(ParameterFetch, StoresTheLinksAndTheRestInOrder)
{
    // A repeated member keeps its first place and takes its last value.
    Answer(200, R"({"installer_url":"https://i.example/a.exe","z":1,"msi_url":"https://i.example/a.msi","campaign":"caf\u00e9","a":[true,null],"z":3})");
    Fetch();
    EXPECT_EQ(Stored(L"", L"XYZID"), Wide(L"")) << "the test program's name has no identifier";
    EXPECT_EQ(Stored(L"Installation", L"InstallerDownloadLink"), Wide(L"https://i.example/a.exe"));
    EXPECT_EQ(Stored(L"Installation", L"MsiDownloadLink"), Wide(L"https://i.example/a.msi"));
    const auto common = regtest::ReadRaw(nativeView, L"", L"Common Data");
    ASSERT_TRUE(common);
    EXPECT_EQ(common->type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(Bytes(common->bytes), "{\"z\":3,\"campaign\":\"caf\xc3\xa9\",\"a\":[true,null]}");
}

TEST_F(ParameterFetch, AStoredIdentifierMeansNothingIsAsked)
{
    regtest::WriteRawString(nativeView, L"", L"XYZID", L"known");
    Answer(200, R"({"installer_url":"https://i.example/a.exe"})");
    Fetch();
    EXPECT_EQ(Stored(L"Installation", L"InstallerDownloadLink"), std::nullopt);
    EXPECT_EQ(Stored(L"", L"Common Data"), std::nullopt);
}

TEST_F(ParameterFetch, AnswersThatStoreLittleOrNothing)
{
    Answer(200, "{\"installer_url\":\"u\",\"msi_url\":\"m\"}");
    Fetch();
    EXPECT_EQ(Stored(L"", L"Common Data"), "{}");

    Clean();
    Answer(200, "[1, 2]");
    Fetch();
    EXPECT_EQ(Stored(L"", L"Common Data"), "[1,2]");
    EXPECT_EQ(Stored(L"Installation", L"InstallerDownloadLink"), std::nullopt);

    Clean();
    regtest::WriteRawString(nativeView, L"Installation", L"InstallerDownloadLink", L"old");
    Answer(200, "{\"msi_url\":\"m\",\"INSTALLER_URL\":\"x\"}");
    Fetch();
    EXPECT_EQ(Stored(L"Installation", L"InstallerDownloadLink"), Wide(L"old"));
    EXPECT_EQ(Stored(L"Installation", L"MsiDownloadLink"), Wide(L"m"));
    EXPECT_EQ(Stored(L"", L"Common Data"), "{\"INSTALLER_URL\":\"x\"}");

    for (const char* empty : {"null", "{}", "[]"}) {
        Clean();
        Answer(200, empty);
        Fetch();
        EXPECT_EQ(Stored(L"", L"Common Data"), std::nullopt) << empty;
        EXPECT_EQ(Stored(L"", L"XYZID"), Wide(L"")) << empty;
    }
}

TEST_F(ParameterFetch, ServiceFailuresAreDroppedButBrokenAnswersAreNot)
{
    Answer(503, "{\"installer_url\":\"u\"}");
    EXPECT_NO_THROW(Fetch());
    EXPECT_EQ(Stored(L"Installation", L"InstallerDownloadLink"), std::nullopt);
    EXPECT_EQ(Stored(L"", L"XYZID"), Wide(L""));

    Clean();
    regtest::WriteRawString(nativeView, L"Installation", L"QaBootstrapperRequestParamsLink", L"http://127.0.0.1:1/x?id=");
    EXPECT_NO_THROW(Fetch()) << "no service at all";

    Clean();
    Answer(200, "not json");
    EXPECT_THROW(Fetch(), nlohmann::json::parse_error);

    Clean();
    Answer(200, "");
    EXPECT_THROW(Fetch(), nlohmann::json::parse_error);

    Clean();
    Answer(200, "{\"msi_url\":\"m\",\"installer_url\":5}");
    EXPECT_THROW(Fetch(), nlohmann::json::type_error);
    EXPECT_EQ(Stored(L"Installation", L"MsiDownloadLink"), std::nullopt) << "installer_url comes first";
    EXPECT_EQ(Stored(L"", L"Common Data"), std::nullopt);
}

TEST_F(ParameterFetch, DeeplyNestedAnswersAreRefusedWithoutCrashing)
{
    Answer(200, std::string(100, '[') + std::string(100, ']'));
    EXPECT_NO_THROW(Fetch());
    EXPECT_EQ(Stored(L"", L"Common Data"), std::string(100, '[') + std::string(100, ']'));

    Clean();
    Answer(200, std::string(600, '[') + std::string(600, ']'));
    try {
        Fetch();
        FAIL() << "a document nested 600 levels deep was accepted";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("nested deeper than 512"), std::string::npos) << error.what();
    }
    // Brackets inside strings do not count.
    Clean();
    Answer(200, "{\"a\":\"" + std::string(1000, '[') + "\"}");
    EXPECT_NO_THROW(Fetch());
}

TEST_F(ParameterFetch, TheIdentifierReachesTheServiceIntact)
{
    // The prefix names a path of its own so the request can be found in the server's log.
    const std::string token = "id-escaping-" + std::to_string(::GetTickCount());
    regtest::WriteRawString(nativeView, L"Installation", L"QaBootstrapperRequestParamsLink",
        text(Server() + "/status/200/" + token + "?body=%7B%7D&id="));
    config::RequestBootstrapperParameters("AB12CD", std::make_shared<http::HttpSettings>());
    config::RequestBootstrapperParameters("a&b=c#d%e f\xc3\xa9~", std::make_shared<http::HttpSettings>());
    const auto requests = peers::RequestsWith(token);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/status/200/" + token + "?body=%7B%7D&id=AB12CD");
    EXPECT_EQ(requests[1].path, "/status/200/" + token + "?body=%7B%7D&id=a%26b%3Dc%23d%25e%20f%C3%A9~");
    EXPECT_EQ(requests[0].Header("Accept"), "application/json");
    EXPECT_EQ(requests[0].Header("Content-Type"), "application/json");
}
