// The quoted form of a token inside the reader's error messages: "..." with \\, \",
// \0 and \u{hex} for characters that are not printable or are grapheme extenders.
#pragma once

#include <string>
#include <string_view>

namespace atomkit {

// Appends the quoted form of `token` (valid UTF-8) to `out`.
void append_quoted_token(std::string& out, std::string_view token);

}  // namespace atomkit
