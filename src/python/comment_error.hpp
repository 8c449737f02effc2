// The error of a comment line the parser refused, worded as reading the line in Python words
// it: shared by parse_comment_rs and the refusals of the reader.
#pragma once

#include <cstddef>

#include "core/comment_line/comment_line.hpp"
#include "python/py_error.hpp"

namespace atomkit {

// The ValueError of each kind. An integer of too many digits (the line read under the limit
// `digits_limit`) gets int()'s own error; int() itself makes it, unless the limit has been
// raised since, when its words are made here.
[[nodiscard]] PyError comment_error(const CommentError& error, std::size_t digits_limit);

}  // namespace atomkit
