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

struct InternalText {
    InternalCode code;
    const char* text; // after "Internal Error: "; 106 adds the disk, 107 the detail
};

constexpr InternalText internalTexts[] = {
    {InternalCode::HttpNotInitialised, "Failed to init http"},
    {InternalCode::NoHttpClient, "Failed to create http client"},
    {InternalCode::PathNotSpecified, "The path is not specified"},
    {InternalCode::NoContentInformation, "Failed to query content information"},
    {InternalCode::NoDestinationFolder, "The path is not specified"},
    {InternalCode::NotEnoughSpace, "There is not enough space on disk "},
    {InternalCode::Failure, ""},
    {InternalCode::Unknown, "Unknown error"},
};

// The disk of a destination path as narrow text (ANSI code page, as std::filesystem reads it).
std::string DiskOf(const std::string& path)
{
    try {
        return std::filesystem::path(RootName(std::filesystem::path(path).wstring())).string();
    } catch (const std::exception&) {
        return std::string();
    }
}

} // namespace

internal_error::internal_error(InternalCode errorCode, const std::string& detail)
    : std::runtime_error(InternalErrorMessage(errorCode, detail))
    , code(static_cast<std::uint16_t>(errorCode))
{
}

std::string InternalErrorMessage(InternalCode code, const std::string& detail)
{
    return InternalErrorMessage(static_cast<int>(code), detail);
}

std::string InternalErrorMessage(int code, const std::string& detail)
{
    std::string message = "Internal Error: ";
    for (const InternalText& entry : internalTexts) {
        if (static_cast<int>(entry.code) != code)
            continue;
        message += entry.text;
        if (entry.code == InternalCode::NotEnoughSpace)
            message += DiskOf(detail);
        else if (entry.code == InternalCode::Failure)
            message += detail;
        return message;
    }
    return message + std::to_string(code);
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

connection_error PreparationTimeout(const std::string& url)
{
    constexpr int timedOut = 28; // CURLE_OPERATION_TIMEDOUT
    return connection_error(timedOut, "Connection Error: 28 (preparing the download took too long)", url);
}

void CheckHttpStatus(int status, const std::string& body)
{
    if (status < 400)
        return;
    throw server_error(status, body, std::string());
}

} // namespace http
