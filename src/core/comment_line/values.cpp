// Typing of the comment line's values: a token alone, a quoted text's words, the inside of
// [..] and {..} as arrays (nested lists in nested_list.cpp), and the 3x3 matrices and pbc
// flags the reserved keys ask for.
#include "core/comment_line/values.hpp"

#include <span>
#include <utility>
#include <vector>

#include "core/atom_lines/token_grammar.hpp"
#include "core/comment_line/nested_list.hpp"
#include "core/comment_line/tokens.hpp"
#include "core/common/word_bits.hpp"

namespace atomkit::comment {
namespace {

// No digit separator '_' and nothing beyond ASCII: a token float() takes only as this
// grammar does.
bool is_plain_ascii(std::string_view s) noexcept {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == '_') return false;
    }
    return true;
}

// [+-] and one or more ASCII digits.
std::size_t int_form_end(std::string_view t, std::size_t i) noexcept {
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const std::size_t digits = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    return i == digits ? npos : i;
}

// Integers separated by one comma (spaces around it allowed) or by spaces, with spaces
// allowed around the whole.
bool is_int_list(std::string_view t) noexcept {
    std::size_t i = int_form_end(t, skip_spaces(t, 0));
    while (i != npos) {
        const std::size_t j = skip_spaces(t, i);
        if (j == t.size()) return true;
        if (t[j] == ',') {
            i = int_form_end(t, skip_spaces(t, j + 1));
        } else if (j > i) {
            i = int_form_end(t, j);
        } else {
            return false;
        }
    }
    return false;
}

CommentValue deferred_value() {
    CommentValue value;
    value.kind = CommentValueKind::deferred;
    return value;
}

using Typed = std::expected<CommentValue, CommentError>;

// int() refuses a token of more digits (its sign left out) than Python's limit, when one is set.
std::expected<void, CommentError> within_digit_limit(std::span<const std::string_view> tokens,
                                                     const CommentOptions& options) {
    const std::size_t limit = options.type_all ? options.int_digits_limit : 0;
    if (limit == 0) return {};
    for (const std::string_view token : tokens) {
        if (token.size() <= limit) continue;
        const std::size_t digits = token.size() - (token[0] == '+' || token[0] == '-' ? 1 : 0);
        if (digits > limit) return std::unexpected(CommentError{CommentErrorKind::int_digits, std::string(token)});
    }
    return {};
}

std::optional<CommentValue> bool_array(const std::vector<std::string_view>& tokens) {
    CommentValue value;
    value.kind = CommentValueKind::bool_array;
    value.ints.reserve(tokens.size());
    for (const std::string_view token : tokens) {
        const std::optional<bool> flag = parse_bool_token(token);
        if (!flag) return std::nullopt;
        value.ints.push_back(*flag ? 1 : 0);
    }
    return value;
}

// A token alone: a flag, an integer, a float, or (failing all three) the text.
Typed scalar(std::string_view t, const CommentOptions& options) {
    auto form = scalar_form(t, options);
    if (!form) return std::unexpected(std::move(form.error()));
    CommentValue value;
    value.kind = form->kind;
    value.boolean = form->boolean;
    value.integer = form->integer;
    value.real = form->real;
    if (form->kind == CommentValueKind::text) return text_value(std::string(t));
    if (form->kind == CommentValueKind::big_integer) {
        if (!options.type_all) return deferred_value();
        value.text = std::string(t);  // Python's integers have no bound
    }
    return value;
}

// Tokens as a float64 array; nullopt when some token is no float.
std::optional<CommentValue> floats(const std::vector<std::string_view>& tokens) {
    CommentValue value;
    value.kind = CommentValueKind::float_array;
    if (!append_floats(tokens, value.reals)) return std::nullopt;
    return value;
}

// Number tokens as an int64 array when `int_list` (float64 when one is beyond int64, which
// NumPy's int64 refuses), else (when `float_allowed`, i.e. the text holds no digit separator
// and nothing beyond ASCII, which float() would also take) as a float64 array; nullopt when
// some token is no number.
std::optional<CommentValue> numbers(const std::vector<std::string_view>& tokens, bool int_list, bool float_allowed,
                                    const CommentOptions& options) {
    if (int_list) {
        CommentValue value;
        value.kind = CommentValueKind::int_array;
        value.ints.reserve(tokens.size());
        for (const std::string_view token : tokens) {
            const auto parsed = parse_int_token(token);
            if (!parsed) return options.type_all ? floats(tokens) : deferred_value();
            value.ints.push_back(*parsed);
        }
        return value;
    }
    if (!float_allowed) return std::nullopt;
    return floats(tokens);
}

// A quoted value's content: one word is typed like a bare token, several numbers or flags
// become an array, anything else stays the text.
Typed quoted(std::string_view text, const CommentOptions& options) {
    const Words split = words(text, false);
    const std::vector<std::string_view>& tokens = split.tokens;
    if (tokens.size() == 1) return tokens[0].size() == text.size() ? scalar(text, options) : text_value(std::string(text));
    if (tokens.empty()) return text_value(std::string(text));
    std::optional<CommentValue> typed;
    if (parse_bool_token(tokens[0])) {
        typed = bool_array(tokens);
    } else {
        const Words by_commas = split.comma ? words(text, true) : Words{};
        const std::vector<std::string_view>& number_tokens = split.comma ? by_commas.tokens : tokens;
        const bool int_list = is_int_list(text);
        if (int_list) {
            if (auto within = within_digit_limit(number_tokens, options); !within) return std::unexpected(within.error());
        }
        typed = numbers(number_tokens, int_list, split.plain, options);
    }
    return typed ? std::move(*typed) : text_value(std::string(text));
}

// One item of a flat list: where it starts and ends (npos when none starts there), and where
// the next one is sought (npos when the item ends badly).
struct ListItem {
    std::size_t start;
    std::size_t end;
    std::size_t next;
    bool quoted;
};

// After an item ending at `end`: a comma, the end, or spaces (the last of them left for the
// next item); npos for anything else.
std::size_t after_list_item(std::string_view t, std::size_t end) noexcept {
    std::size_t last_space = end;
    std::size_t j = end;
    while (j < t.size()) {
        const std::size_t length = space_at(t, j);
        if (length == 0) break;
        last_space = j;
        j += length;
    }
    if (j < t.size() && t[j] == ',') return j + 1;
    if (j == t.size()) return j;
    return j > end ? last_space : npos;
}

// A quoted text or a bare token from the first non-space at or after pos.
ListItem list_item_at(std::string_view t, std::size_t pos, const CommentOptions& options) noexcept {
    ListItem item{skip_spaces(t, pos), npos, npos, false};
    if (item.start < t.size()) {
        const char c = t[item.start];
        if (c == '"' || c == '\'') {
            // A deferred list is read again in Python, which finds what ends it badly.
            item.end = options.type_all ? list_quoted_end(t, item.start) : quoted_end(t, item.start);
            item.quoted = true;
        } else if (c != ',' && c != '[' && c != ']' && space_at(t, item.start) == 0) {
            std::size_t end = item.start + 1;
            while (end < t.size() && space_at(t, end) == 0 && t[end] != ',' && t[end] != '"' &&
                   t[end] != '\'' && t[end] != '[' && t[end] != ']') {
                ++end;
            }
            item.end = end;
        }
    }
    if (item.end != npos) item.next = after_list_item(t, item.end);
    return item;
}

// The items as strs, the quoted ones unescaped.
CommentValue str_list(const std::vector<std::string_view>& items) {
    CommentValue value;
    value.kind = CommentValueKind::str_array;
    value.texts.reserve(items.size());
    for (const std::string_view item : items) {
        const bool is_quoted = item[0] == '"' || item[0] == '\'';
        value.texts.push_back(is_quoted ? unescape(item.substr(1, item.size() - 2)) : std::string(item));
    }
    return value;
}

// The items typed together: numbers or flags become an array, anything else strings.
Typed list_value(const std::vector<std::string_view>& items, bool any_quoted, const CommentOptions& options) {
    if (items.empty()) {
        CommentValue value;
        value.kind = CommentValueKind::float_array;
        return value;
    }
    if (!any_quoted) {
        bool int_list = true;
        bool float_allowed = true;
        for (const std::string_view item : items) {
            int_list = int_list && is_int_form(item);
            float_allowed = float_allowed && is_plain_ascii(item);
        }
        if (int_list) {
            if (auto within = within_digit_limit(items, options); !within) return std::unexpected(within.error());
        }
        if (std::optional<CommentValue> typed = numbers(items, int_list, float_allowed, options)) return std::move(*typed);
        if (std::optional<CommentValue> flags = bool_array(items)) return std::move(*flags);
    }
    return options.type_all ? str_list(items) : deferred_value();
}

}  // namespace

// The inside of [..] or {..}: quoted items or bare tokens, separated by commas and/or spaces.
// What follows the last good item may only be blanks and commas.
std::expected<CommentValue, CommentError> flat_list(std::string_view t, const CommentOptions& options) {
    std::vector<std::string_view> items;
    bool any_quoted = false;
    std::size_t pos = 0;
    while (pos < t.size()) {
        const ListItem item = list_item_at(t, pos, options);
        any_quoted = any_quoted || (item.quoted && item.end != npos);
        if (item.next == npos) {
            if (!only_list_gaps(t.substr(pos))) {
                return std::unexpected(CommentError{CommentErrorKind::list_item,
                                                    std::string(leading_characters(t.substr(pos), list_item_quoted))});
            }
            break;
        }
        items.push_back(t.substr(item.start, item.end - item.start));
        pos = item.next;
    }
    return list_value(items, any_quoted, options);
}

bool is_int_form(std::string_view t) noexcept { return int_form_end(t, 0) == t.size(); }

std::expected<ScalarForm, CommentError> scalar_form(std::string_view t, const CommentOptions& options) {
    ScalarForm form;
    if (const std::optional<bool> flag = parse_bool_token(t)) {
        form.kind = CommentValueKind::boolean;
        form.boolean = *flag;
    } else if (is_int_form(t)) {
        if (auto within = within_digit_limit({&t, 1}, options); !within) return std::unexpected(within.error());
        const auto parsed = parse_int_token(t);
        form.kind = parsed ? CommentValueKind::integer : CommentValueKind::big_integer;
        form.integer = parsed.value_or(0);
    } else if (const auto real = parse_float_token_nearest(t)) {
        form.kind = CommentValueKind::real;
        form.real = *real;
    }
    return form;
}

bool append_floats(std::span<const std::string_view> tokens, std::vector<double>& reals) {
    const std::size_t first = reals.size();
    reals.reserve(first + tokens.size());
    for (const std::string_view token : tokens) {
        const auto parsed = parse_float_token_nearest(token);
        if (!parsed) {
            reals.resize(first);
            return false;
        }
        reals.push_back(*parsed);
    }
    return true;
}

CommentValue text_value(std::string text) {
    CommentValue value;
    value.kind = CommentValueKind::text;
    value.text = std::move(text);
    return value;
}

std::expected<CommentValue, CommentError> typed_value(std::string_view raw, const CommentOptions& options) {
    // Each form returns straight into the result, which is built in place.
    auto typed = [&]() -> Typed {
        const char first = raw.empty() ? '\0' : raw[0];
        if (first == '"' || first == '\'') {
            const std::string_view content = raw.substr(1, raw.size() - 2);
            return content.find('\\') == npos ? quoted(content, options) : quoted(unescape(content), options);
        }
        if (first == '{') return flat_list(raw.substr(1, raw.size() - 2), options);
        if (first != '[') return scalar(raw, options);
        const std::string_view inner = raw.substr(1, raw.size() - 2);
        const std::size_t start = skip_spaces(inner, 0);
        if (start == inner.size() || inner[start] != '[') return flat_list(inner, options);
        return options.type_all ? nested_list(raw, inner, options) : deferred_value();
    }();
    if (typed && typed->kind == CommentValueKind::deferred) typed->text = std::string(raw);
    return typed;
}

bool make_square(CommentValue& value) {
    if (value.rows != 0) return false;
    if (value.kind == CommentValueKind::int_array && value.ints.size() == 9) {
        value.reals.assign(value.ints.begin(), value.ints.end());
        value.ints.clear();
    } else if (value.kind != CommentValueKind::float_array || value.reals.size() != 9) {
        return false;
    }
    value.kind = CommentValueKind::float_array;
    value.square = true;
    return true;
}

bool make_lattice(CommentValue& value) {
    if (value.kind == CommentValueKind::int_array || value.kind == CommentValueKind::float_array) value.rows = 0;
    return make_square(value);
}

std::optional<std::array<bool, 3>> pbc_flags(std::string_view raw) {
    const std::string text = plain_text(raw);
    const std::string_view t = text;
    std::array<bool, 3> flags{};
    std::size_t count = 0;
    std::size_t i = 0;
    auto separates = [&t](std::size_t k) {
        const char c = t[k];
        return c == ',' || c == '[' || c == ']' || c == '{' || c == '}' || c == '"' || c == '\'' ||
               space_at(t, k) != 0;
    };
    while (i < t.size()) {
        if (separates(i)) {
            // A space beyond ASCII is stepped over whole, not left as a token of its last bytes.
            const std::size_t length = space_at(t, i);
            i += length == 0 ? 1 : length;
            continue;
        }
        std::size_t e = i + 1;
        while (e < t.size() && !separates(e)) ++e;
        const std::optional<bool> flag = parse_bool_token(t.substr(i, e - i));
        if (!flag || count == 3) return std::nullopt;
        flags[count++] = *flag;
        i = e;
    }
    if (count == 1) return std::array<bool, 3>{flags[0], flags[0], flags[0]};
    if (count != 3) return std::nullopt;
    return flags;
}

}  // namespace atomkit::comment
