#include "http/errors.h"

#include <filesystem>

namespace common {
namespace {

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// The Windows root name: "C:" for a drive, "\\server" for a UNC path, else empty. The
// runtime's std::filesystem does not recognise the UNC form, so it is parsed here.
std::wstring RootName(const std::wstring& path)
{
    if (path.size() >= 2 && path[1] == L':' && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')))
        return path.substr(0, 2);
    if (path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]) && !IsSeparator(path[2])) {
        size_t end = 2;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        return path.substr(0, end);
    }
    return {};
}

} // namespace

internal_error::internal_error(std::uint16_t errorCode, const std::string& message)
    : std::runtime_error(message)
    , code(errorCode)
{
}

std::string InternalErrorMessage(int code, const std::string& detail)
{
    const std::string prefix = "Internal Error: ";
    switch (code) {
    case 101:
        return prefix + "Failed to init http";
    case 102:
        return prefix + "Failed to create http client";
    case 103:
    case 105:
        return prefix + "The path is not specified";
    case 104:
        return prefix + "Failed to query content information";
    case 106: {
        // The message names the disk, not the whole path: "C:" or "\\server".
        // The detail is narrow text in the ANSI code page, as std::filesystem reads it.
        std::string root;
        try {
            root = std::filesystem::path(RootName(std::filesystem::path(detail).wstring())).string();
        } catch (const std::exception&) {
            root.clear();
        }
        return prefix + "There is not enough space on disk " + root;
    }
    case 107:
        return prefix + detail;
    case 109:
        return prefix + "Unknown error";
    default:
        return prefix + std::to_string(code);
    }
}

} // namespace common

namespace http {

rest_error::rest_error(int errorCode, const std::string& text, const std::string& requestUrl)
    : std::runtime_error(text)
    , code(static_cast<std::uint16_t>(errorCode))
    , message(text)
    , url(requestUrl)
{
}

server_error::server_error(int status, const std::string& text, const std::string& requestUrl)
    : rest_error(status, text.empty() ? HttpStatusText(static_cast<std::uint16_t>(status)) : text, requestUrl)
{
}

std::shared_ptr<rest_error> server_error::Clone() const
{
    return std::make_shared<server_error>(*this);
}

connection_error::connection_error(int curlCode, const std::string& text, const std::string& requestUrl)
    : rest_error(curlCode, text, requestUrl)
{
}

std::shared_ptr<rest_error> connection_error::Clone() const
{
    return std::make_shared<connection_error>(*this);
}

cancel_error::cancel_error(int curlCode, const std::string& text, const std::string& requestUrl)
    : connection_error(curlCode, text, requestUrl)
{
}

std::shared_ptr<rest_error> cancel_error::Clone() const
{
    return std::make_shared<cancel_error>(*this);
}

std::string HttpStatusText(std::uint16_t status)
{
    switch (status) {
    case 400: return "HTTP (Error: 400) Bad Request";
    case 401: return "HTTP (Error: 401) Unauthorized";
    case 403: return "HTTP (Error: 403) Forbidden";
    case 404: return "HTTP (Error: 404) Not Found";
    case 405: return "HTTP (Error: 405) Method Not Allowed";
    case 407: return "HTTP (Error: 407) Proxy Authentication Required";
    case 408: return "HTTP (Error: 408) Request Time-Out";
    case 410: return "HTTP (Error: 410) Gone";
    case 500: return "HTTP (Error: 500) Internal Server (Error";
    case 502: return "HTTP (Error: 502) Bad Gateway";
    case 503: return "HTTP (Error: 503) Service Temporarily Unavailable";
    case 504: return "HTTP (Error: 504) Gateway Timeout";
    case 507: return "HTTP (Error: 507) Insufficient Storage";
    default: return "HTTP Error: " + std::to_string(status);
    }
}

void CheckCurlResult(int result, const std::string& url)
{
    constexpr int abortedByCallback = 42; // CURLE_ABORTED_BY_CALLBACK
    if (result == 0)
        return;
    if (result == abortedByCallback)
        throw cancel_error(result, "An operation was cancelled by a user.", url);
    throw connection_error(result, "Connection Error: " + std::to_string(result), url);
}

void CheckHttpStatus(int status, const std::string& body)
{
    if (status < 400)
        return;
    throw server_error(status, body, std::string());
}

} // namespace http
