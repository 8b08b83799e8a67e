#include "config/bootstrapper_parameters.h"

#include "config/download_links.h"
#include "config/registry.h"
#include "http/curl_http_client.h"
#include "http/errors.h"
#include "text/text_conversion.h"

#include <windows.h>

#include <optional>
#include <stdexcept>

namespace config {
namespace {

// Serialising a parsed answer is recursive and the main thread's stack is 1 MiB: a document
// nested deeper than this is refused before it is parsed.
constexpr int MaxJsonDepth = 512;
// The ordered object finds each new member by a linear search among the earlier ones: an
// answer with more members than this (in all its objects together) is dropped like one too
// large to collect, before it is parsed.
constexpr std::size_t MaxJsonMembers = 5000;

// The members of the answer's objects: its colons outside strings. Throws for an answer
// nested deeper than MaxJsonDepth.
std::size_t CountMembers(const std::string& body)
{
    std::size_t members = 0;
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > MaxJsonDepth)
                throw std::runtime_error("The parameter answer is nested deeper than " + std::to_string(MaxJsonDepth) + " levels");
        } else if (c == ']' || c == '}') {
            --depth;
        } else if (c == ':') {
            ++members;
        }
    }
    return members;
}

// The identifier comes from a file name anyone can rename: characters that would end the query
// value or the URL ('&', '#', '%', non-ASCII bytes...) are percent-encoded, so the service always
// receives the identifier as the file name carries it. Letters, digits and "-._~" pass unchanged.
std::string QueryValue(const std::string& utf8)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')
            || byte == '-' || byte == '.' || byte == '_' || byte == '~';
        if (unreserved) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 15];
        }
    }
    return encoded;
}

bool IsBlank(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

} // namespace

std::wstring IdentifierFromFileName(const std::wstring& path)
{
    std::wstring name = path.substr(path.find_last_of(L"\\/") == std::wstring::npos ? 0 : path.find_last_of(L"\\/") + 1);
    // An alternate data stream ("name.exe:stream") is not part of the name.
    name = name.substr(0, name.find(L':'));
    if (name != L"." && name != L"..") {
        const size_t dot = name.find_last_of(L'.');
        if (dot != std::wstring::npos && dot != 0)
            name.erase(dot);
    }

    const size_t dash = name.find_last_of(L'-');
    if (name.empty() || dash == std::wstring::npos)
        return {};
    std::wstring identifier = name.substr(dash + 1);
    identifier = identifier.substr(0, identifier.find(L' '));
    std::erase_if(identifier, IsBlank);
    return identifier;
}

std::wstring IdentifierFromModuleName()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0)
        return {};
    return IdentifierFromFileName(std::wstring(path, length < MAX_PATH ? length : MAX_PATH));
}

nlohmann::ordered_json RequestBootstrapperParameters(const std::string& identifier, std::shared_ptr<http::HttpSettings> settings)
{
    http::HttpRequest request;
    request.method = "GET";
    request.url = DownloadLinks::Instance()->ParameterStorageUrl() + QueryValue(identifier);
    request.headers["Content-Type"] = "application/json";
    request.headers["Accept"] = "application/json";

    const auto client = std::make_shared<http::CurlHttpClient>(std::move(settings));
    const http::HttpResponse response = client->Perform(request, nullptr, nullptr, -1, nullptr, nullptr, nullptr, nullptr);
    http::CheckHttpStatus(response.status, response.body);

    return ParseParameterAnswer(response.body);
}

nlohmann::ordered_json ParseParameterAnswer(const std::string& body)
{
    if (CountMembers(body) > MaxJsonMembers)
        return nullptr;
    return nlohmann::ordered_json::parse(body, nullptr, true, false);
}

void FetchBootstrapperParameters(std::shared_ptr<http::HttpSettings> settings)
{
    const std::optional<std::wstring> productKey;
    if (!winreg::ReadRegistryString(productKey, L"XYZID").empty())
        return;

    const std::wstring identifier = IdentifierFromModuleName();
    winreg::WriteRegistryString(productKey, L"XYZID", identifier);

    nlohmann::ordered_json answer;
    try {
        answer = RequestBootstrapperParameters(text::ToUtf8(identifier), std::move(settings));
    } catch (const http::connection_error&) {
        // No service today: the download goes on with the stored or built-in link.
    } catch (const http::server_error&) {
    }
    if (answer.empty())
        return;

    struct LinkMember {
        const char* member;
        const wchar_t* valueName;
    };
    for (const LinkMember link : {LinkMember{"installer_url", L"InstallerDownloadLink"}, LinkMember{"msi_url", L"MsiDownloadLink"}}) {
        if (!answer.is_object() || !answer.contains(link.member))
            continue;
        const std::string value = answer[link.member].get<std::string>();
        winreg::WriteRegistryString(std::wstring(L"Installation"), link.valueName, text::ToWide(value));
        answer.erase(link.member);
    }

    winreg::WriteRegistryUtf8(productKey, L"Common Data", text::ToWide(answer.dump()));
}

} // namespace config
