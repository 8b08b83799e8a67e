#include "sys/system_error.h"

#include "sys/unique_resource.h"

namespace sys {

std::wstring SystemErrorText(DWORD error, const std::wstring& insert)
{
    // Every insert a text may have (%1 to %9) gets the same text: none reads past the array.
    DWORD_PTR arguments[9];
    for (DWORD_PTR& argument : arguments)
        argument = reinterpret_cast<DWORD_PTR>(insert.c_str());
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
    flags |= insert.empty() ? FORMAT_MESSAGE_IGNORE_INSERTS : FORMAT_MESSAGE_ARGUMENT_ARRAY;
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(flags, nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
        insert.empty() ? nullptr : reinterpret_cast<va_list*>(arguments));
    const UniqueResource<wchar_t*, &::LocalFree> owned(buffer);
    std::wstring text = length != 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? L"unknown error" : text;
}

} // namespace sys
