// The note of a line that failed to parse while holding a Unicode space (text pasted from
// documents has them): such characters belong to tokens, which readers rarely expect.
// Plain C++.
#pragma once

#include <string>
#include <string_view>

namespace atomkit {

// A note naming the first character of `line` that Python's str.isspace() accepts but that
// does not separate tokens, with its column; empty when the line holds none. Bytes that are
// no valid UTF-8 are passed over.
[[nodiscard]] std::string unicode_space_note(std::string_view line);

}  // namespace atomkit
