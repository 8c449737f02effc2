// Typing of the comment line's values: flags, numbers and texts, flat and nested lists as
// arrays, the 3x3 matrices and pbc's three flags. Plain C++.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/comment_line/comment_line.hpp"

namespace atomkit::comment {

CommentValue text_value(std::string text);

// A value as the tokenizer captured it (quotes and brackets included), typed; a deferred
// value carries that text.
std::expected<CommentValue, CommentError> typed_value(std::string_view raw, const CommentOptions& options);

// The inside of [..] or {..}: quoted items or bare tokens, separated by commas and/or spaces,
// typed together (numbers or flags as an array, anything else strs, or deferred when the
// options leave them to the caller).
std::expected<CommentValue, CommentError> flat_list(std::string_view inner, const CommentOptions& options);

// Nine numbers of a flat array as a 3x3 float64 matrix; false for anything else.
bool make_square(CommentValue& value);

// make_square for the Lattice, which also takes nine numbers of a nested list.
bool make_lattice(CommentValue& value);

// Three flags (or one for all three) between spaces, commas, brackets, braces or quotes.
std::optional<std::array<bool, 3>> pbc_flags(std::string_view raw);

}  // namespace atomkit::comment
