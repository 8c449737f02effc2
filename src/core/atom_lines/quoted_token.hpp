// The quoted form of a token inside the reader's error messages: "..." with \\, \",
// \0 and \u{hex} for characters that are not printable or are grapheme extenders, and
// \x{hex} for bytes that are no valid UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace atomkit {

// Appends the quoted form of `token` to `out`.
void append_quoted_token(std::string& out, std::string_view token);

}  // namespace atomkit
