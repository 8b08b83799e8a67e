#include "text/text_conversion.h"

#include <gtest/gtest.h>

TEST(TextConversion, RoundTripsNonAsciiText)
{
    EXPECT_EQ(text::ToUtf8(L"caf\u00e9"), "caf\xc3\xa9");
    EXPECT_EQ(text::ToWide("caf\xc3\xa9"), L"caf\u00e9");
    // A character outside the BMP is a surrogate pair in UTF-16 and four bytes in UTF-8.
    EXPECT_EQ(text::ToUtf8(L"\U0001F600"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(text::ToWide("\xf0\x9f\x98\x80"), L"\U0001F600");
    const std::wstring longText(1000, L'\u0416');
    EXPECT_EQ(text::ToWide(text::ToUtf8(longText)), longText);
}

TEST(TextConversion, EmptyAndInvalidInput)
{
    EXPECT_EQ(text::ToUtf8(L""), "");
    EXPECT_EQ(text::ToWide(""), L"");
    // Invalid UTF-8 is replaced, not refused.
    EXPECT_EQ(text::ToWide("a\xff" "b"), L"a\ufffd" L"b");
    // A lone surrogate is replaced as well.
    EXPECT_EQ(text::ToUtf8(std::wstring(1, wchar_t(0xD800))), "\xef\xbf\xbd");
    // Embedded NULs are kept: the length is explicit.
    EXPECT_EQ(text::ToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}
