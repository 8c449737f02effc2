// The rows of a nested list typed as flat lists, then stacked into one 2-D array as NumPy
// stacks them: the highest kind among the rows takes the others' values.
#include "core/comment_line/nested_list.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/comment_line/float_repr.hpp"
#include "core/comment_line/tokens.hpp"
#include "core/comment_line/values.hpp"

namespace atomkit::comment {
namespace {

// One row of a nested list from pos: spaces, [..] (quoted texts inside, no brackets), then
// spaces and a comma or the end. Its content, and where the next row is sought.
struct Row {
    std::string_view content;
    std::size_t next;
};

std::optional<Row> row_at(std::string_view t, std::size_t pos) noexcept {
    const std::size_t open = skip_spaces(t, pos);
    if (open == t.size() || t[open] != '[') return std::nullopt;
    std::size_t j = open + 1;
    while (j < t.size() && t[j] != ']') {
        if (t[j] == '[') return std::nullopt;
        j = t[j] == '"' || t[j] == '\'' ? list_quoted_end(t, j) : j + 1;
        if (j == npos) return std::nullopt;
    }
    if (j == t.size()) return std::nullopt;
    const std::size_t after = skip_spaces(t, j + 1);
    if (after < t.size() && t[after] != ',') return std::nullopt;
    return Row{t.substr(open + 1, j - open - 1), after == t.size() ? after : after + 1};
}

std::size_t row_size(const CommentValue& row) noexcept {
    switch (row.kind) {
        case CommentValueKind::str_array:
            return row.texts.size();
        case CommentValueKind::float_array:
            return row.reals.size();
        default:
            return row.ints.size();
    }
}

// How NumPy ranks the rows' kinds when it stacks them (the highest takes the others' values),
// and how wide a str it makes of a number of each.
int rank(CommentValueKind kind) noexcept {
    switch (kind) {
        case CommentValueKind::bool_array:
            return 0;
        case CommentValueKind::int_array:
            return 1;
        case CommentValueKind::float_array:
            return 2;
        default:
            return 3;
    }
}
constexpr std::array<std::size_t, 3> number_str_widths = {5, 21, 32};

// A row's values appended to `out` (of a rank no lower) as NumPy casts them.
void append_row(CommentValue& out, CommentValue& row) {
    if (out.kind == CommentValueKind::float_array && row.kind != out.kind) {
        out.reals.insert(out.reals.end(), row.ints.begin(), row.ints.end());
    } else if (out.kind != CommentValueKind::str_array) {
        if (row.kind == CommentValueKind::float_array) out.reals.insert(out.reals.end(), row.reals.begin(), row.reals.end());
        out.ints.insert(out.ints.end(), row.ints.begin(), row.ints.end());
    } else if (row.kind == CommentValueKind::str_array) {
        std::move(row.texts.begin(), row.texts.end(), std::back_inserter(out.texts));
    } else {
        out.width = std::max(out.width, number_str_widths[static_cast<std::size_t>(rank(row.kind))]);
        char repr[max_float_repr_length];
        for (const double real : row.reals) out.texts.emplace_back(repr, write_float_repr(real, repr));
        for (const std::int64_t integer : row.ints) {
            const bool flag = row.kind == CommentValueKind::bool_array;
            out.texts.push_back(flag ? (integer != 0 ? "True" : "False") : std::to_string(integer));
        }
    }
}

// The rows of a nested list as one 2-D array, as NumPy stacks 1-D arrays of one length.
std::expected<CommentValue, CommentError> stacked(std::vector<CommentValue>& rows, std::string_view raw) {
    CommentValue out;
    out.kind = CommentValueKind::bool_array;
    out.rows = rows.size();
    for (const CommentValue& row : rows) {
        if (row_size(row) != row_size(rows[0])) {
            return std::unexpected(CommentError{CommentErrorKind::row_lengths, std::string(leading_characters(raw, line_item_quoted))});
        }
        if (rank(row.kind) > rank(out.kind)) out.kind = row.kind;
    }
    for (CommentValue& row : rows) append_row(out, row);
    return out;
}

}  // namespace

// A bracketed value whose first item is a list: rows of flat lists, separated by commas.
// What follows the last good row may only be blanks and commas.
std::expected<CommentValue, CommentError> nested_list(std::string_view raw, std::string_view inner,
                                                      const CommentOptions& options) {
    std::vector<CommentValue> rows;
    std::size_t pos = 0;
    while (pos < inner.size()) {
        const std::optional<Row> row = row_at(inner, pos);
        if (!row) {
            if (!only_list_gaps(inner.substr(pos))) {
                return std::unexpected(CommentError{CommentErrorKind::nested_list,
                                                    std::string(leading_characters(inner.substr(pos), list_item_quoted))});
            }
            break;
        }
        std::expected<CommentValue, CommentError> typed = flat_list(row->content, options);
        if (!typed) return typed;
        rows.push_back(std::move(*typed));
        pos = row->next;
    }
    return stacked(rows, raw);
}

}  // namespace atomkit::comment
