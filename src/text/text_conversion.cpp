#include "text/text_conversion.h"

#include <windows.h>

#include <climits>

namespace text {

std::string ToUtf8(std::wstring_view wide)
{
    if (wide.empty() || wide.size() > static_cast<size_t>(INT_MAX))
        return {};
    const int length = static_cast<int>(wide.size());
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string result(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, result.data(), size, nullptr, nullptr) != size)
        return {};
    return result;
}

std::wstring ToWide(std::string_view utf8)
{
    if (utf8.empty() || utf8.size() > static_cast<size_t>(INT_MAX))
        return {};
    const int length = static_cast<int>(utf8.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring result(static_cast<size_t>(size), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, result.data(), size) != size)
        return {};
    return result;
}

} // namespace text
