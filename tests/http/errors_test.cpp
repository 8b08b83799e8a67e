#include "http/errors.h"

#include <gtest/gtest.h>

using common::InternalErrorMessage;

TEST(InternalErrorMessage, FixedTexts)
{
    EXPECT_EQ(InternalErrorMessage(101, ""), "Internal Error: Failed to init http");
    EXPECT_EQ(InternalErrorMessage(102, "ignored"), "Internal Error: Failed to create http client");
    EXPECT_EQ(InternalErrorMessage(103, ""), "Internal Error: The path is not specified");
    EXPECT_EQ(InternalErrorMessage(105, ""), InternalErrorMessage(103, ""));
    EXPECT_EQ(InternalErrorMessage(104, ""), "Internal Error: Failed to query content information");
    EXPECT_EQ(InternalErrorMessage(109, "x"), "Internal Error: Unknown error");
    EXPECT_EQ(InternalErrorMessage(108, ""), "Internal Error: 108");
    EXPECT_EQ(InternalErrorMessage(0, ""), "Internal Error: 0");
    EXPECT_EQ(InternalErrorMessage(-5, ""), "Internal Error: -5");
}

TEST(InternalErrorMessage, DetailTexts)
{
    EXPECT_EQ(InternalErrorMessage(107, ""), "Internal Error: ");
    EXPECT_EQ(InternalErrorMessage(107, "boom: 42"), "Internal Error: boom: 42");
    // The disk, not the whole path, as Windows names it.
    EXPECT_EQ(InternalErrorMessage(106, "C:\\users\\me\\Temp\\a1\\x.exe"),
        "Internal Error: There is not enough space on disk C:");
    EXPECT_EQ(InternalErrorMessage(106, "\\\\server\\share\\x.exe"), "Internal Error: There is not enough space on disk \\\\server");
    EXPECT_EQ(InternalErrorMessage(106, "relative\\x.exe"), "Internal Error: There is not enough space on disk ");
}

TEST(HttpStatusText, KnownAndUnknownStatuses)
{
    EXPECT_EQ(http::HttpStatusText(404), "HTTP (Error: 404) Not Found");
    EXPECT_EQ(http::HttpStatusText(407), "HTTP (Error: 407) Proxy Authentication Required");
    EXPECT_EQ(http::HttpStatusText(500), "HTTP (Error: 500) Internal Server (Error");
    EXPECT_EQ(http::HttpStatusText(503), "HTTP (Error: 503) Service Temporarily Unavailable");
    EXPECT_EQ(http::HttpStatusText(507), "HTTP (Error: 507) Insufficient Storage");
    EXPECT_EQ(http::HttpStatusText(200), "HTTP Error: 200");
    EXPECT_EQ(http::HttpStatusText(406), "HTTP Error: 406");
}

TEST(CheckCurlResult, MapsResultsToErrorKinds)
{
    EXPECT_NO_THROW(http::CheckCurlResult(0, "https://x/"));
    try {
        http::CheckCurlResult(42, "https://x/a");
        FAIL() << "no exception for 42";
    } catch (const http::connection_error& error) { // a cancellation is a connection error too
        EXPECT_NE(dynamic_cast<const http::cancel_error*>(&error), nullptr);
        EXPECT_EQ(error.code, 42);
        EXPECT_EQ(error.url, "https://x/a");
        EXPECT_STREQ(error.what(), "An operation was cancelled by a user.");
    }
    try {
        http::CheckCurlResult(28, "u");
        FAIL() << "no exception for 28";
    } catch (const http::cancel_error&) {
        FAIL() << "28 is not a cancellation";
    } catch (const http::connection_error& error) {
        EXPECT_STREQ(error.what(), "Connection Error: 28");
        EXPECT_EQ(error.message, "Connection Error: 28");
        EXPECT_EQ(error.code, 28);
    }
}

TEST(CheckHttpStatus, ServerErrorsAndTheirCatchers)
{
    EXPECT_NO_THROW(http::CheckHttpStatus(399, "body"));
    EXPECT_NO_THROW(http::CheckHttpStatus(-1, ""));
    try {
        http::CheckHttpStatus(404, "");
        FAIL();
    } catch (const http::server_error& error) {
        EXPECT_STREQ(error.what(), "HTTP (Error: 404) Not Found");
        EXPECT_EQ(error.url, "");
    }
    try {
        http::CheckHttpStatus(500, "{\"error\":\"down\"}");
        FAIL();
    } catch (const http::server_error& error) {
        EXPECT_STREQ(error.what(), "{\"error\":\"down\"}");
        EXPECT_EQ(error.code, 500);
    }
    // A server error is a rest_error and a runtime_error, never a connection error.
    bool caughtAsConnection = false, caughtAsRest = false;
    try {
        try {
            http::CheckHttpStatus(503, "");
        } catch (const http::connection_error&) {
            caughtAsConnection = true;
        }
    } catch (const http::rest_error& error) {
        caughtAsRest = true;
        const auto copy = error.Clone();
        EXPECT_NE(dynamic_cast<http::server_error*>(copy.get()), nullptr);
        EXPECT_STREQ(copy->what(), "HTTP (Error: 503) Service Temporarily Unavailable");
    }
    EXPECT_FALSE(caughtAsConnection);
    EXPECT_TRUE(caughtAsRest);
}

TEST(RestError, CodeIsTruncatedTo16Bits)
{
    const http::connection_error error(65536 + 7, "m", "u");
    EXPECT_EQ(error.code, 7);
}
