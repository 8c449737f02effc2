// Typing of the comment line's values: flags, numbers and texts, flat and nested lists as
// arrays, the 3x3 matrices and pbc's three flags. Plain C++.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/comment_line/comment_line.hpp"

namespace atomkit::comment {

CommentValue text_value(std::string text);

// A token alone as it types: a flag (boolean), an integer, an integer beyond int64
// (big_integer: the token is its digits), a float (real), or else the token as a text.
struct ScalarForm {
    CommentValueKind kind = CommentValueKind::text;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
};

// Floats only inside a NearestRounding scope; an integer of more digits than the options allow
// is its error.
std::expected<ScalarForm, CommentError> scalar_form(std::string_view t, const CommentOptions& options);

// [+-] and one or more ASCII digits.
bool is_int_form(std::string_view t) noexcept;

// The tokens as floats appended to `reals`; false, with `reals` as it was, when one is no float.
bool append_floats(std::span<const std::string_view> tokens, std::vector<double>& reals);

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
