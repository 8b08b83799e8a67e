#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace common {

// The codes of the system's own failures, as users see them ("Internal Error: ..."). Their
// texts are in one table in errors.cpp.
enum class InternalCode : std::uint16_t {
    HttpNotInitialised = 101, // no HTTP client could be made
    NoHttpClient = 102,
    PathNotSpecified = 103,
    NoContentInformation = 104, // the content information names no file
    NoDestinationFolder = 105,
    NotEnoughSpace = 106, // detail: the destination path, of which the disk is named
    Failure = 107, // detail: the text of the failure, shown unchanged
    Unknown = 109,
};

// A failure of the system's own logic, identified by a code from 101 to 109.
class internal_error : public std::runtime_error {
public:
    // The message is InternalErrorMessage(code, detail).
    explicit internal_error(InternalCode code, const std::string& detail = std::string());

    std::uint16_t code;
};

// The text shown for an internal error. The detail is used by 106 (a path, of which the
// root name is shown) and 107 (shown unchanged).
std::string InternalErrorMessage(InternalCode code, const std::string& detail = std::string());
std::string InternalErrorMessage(int code, const std::string& detail);

} // namespace common

namespace http {

// A failed transfer. `code` is an HTTP status for server_error and a CURLcode for the others.
class rest_error : public std::runtime_error {
public:
    rest_error(int code, const std::string& message, const std::string& url);

    virtual std::shared_ptr<rest_error> Clone() const = 0;

    std::uint16_t code;
    std::string message;
    std::string url;
};

// An HTTP status of 400 or more. An empty message becomes the status text.
class server_error : public rest_error {
public:
    server_error(int status, const std::string& message, const std::string& url);
    std::shared_ptr<rest_error> Clone() const override;
};

// A libcurl result other than success.
class connection_error : public rest_error {
public:
    connection_error(int curlCode, const std::string& message, const std::string& url);
    std::shared_ptr<rest_error> Clone() const override;
};

// A transfer stopped by its progress callback (CURLE_ABORTED_BY_CALLBACK).
class cancel_error : public connection_error {
public:
    cancel_error(int curlCode, const std::string& message, const std::string& url);
    std::shared_ptr<rest_error> Clone() const override;
};

std::string HttpStatusText(std::uint16_t status);

// Throws cancel_error for 42 and connection_error for any other non-zero libcurl result.
void CheckCurlResult(int result, const std::string& url);

// The failure of a request that the deadline of the work before the window ended or skipped:
// libcurl's time-out code (28), with a text that says so.
connection_error PreparationTimeout(const std::string& url);

// Throws server_error (status, body as message, empty URL) for a status of 400 or more.
void CheckHttpStatus(int status, const std::string& body);

} // namespace http
