#pragma once

#include <string>
#include <string_view>

namespace text {

// UTF-16 -> UTF-8 with the Windows code-page conversion (no flags, so invalid input is
// replaced rather than refused). Empty input, or a failed conversion, gives "". Never throws
// except for allocation failure.
std::string ToUtf8(std::wstring_view wide);

// UTF-8 -> UTF-16, with the same rules.
std::wstring ToWide(std::string_view utf8);

} // namespace text
