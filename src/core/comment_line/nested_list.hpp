// A nested list [[..], ..] typed as one 2-D array, its rows stacked as NumPy stacks 1-D arrays
// of one length. Plain C++.
#pragma once

#include <expected>
#include <string_view>

#include "core/comment_line/comment_line.hpp"

namespace atomkit::comment {

// A bracketed value (`raw`, brackets included) whose first item is a list; `inner` is what
// its brackets hold. What follows the last good row may only be blanks and commas.
std::expected<CommentValue, CommentError> nested_list(std::string_view raw, std::string_view inner,
                                                      const CommentOptions& options);

}  // namespace atomkit::comment
