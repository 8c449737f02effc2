// Tokenizing and typing of comment lines: the item grammar (bare, quoted, bracketed and braced
// values, quoted keys, keys alone), escapes, and the rules that make numbers, flags and flat
// arrays of values. Plain C++.
#include "core/comment_line/comment_line.hpp"

#include <array>
#include <unordered_set>
#include <utility>

#include "core/atom_lines/token_grammar.hpp"
#include "core/common/word_bits.hpp"

namespace atomkit {
namespace {

constexpr std::size_t npos = std::string_view::npos;

inline unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
    return static_cast<unsigned char>(s[i]);
}

// python_space_at beyond ASCII: U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029,
// U+202F, U+205F and U+3000.
[[gnu::noinline]] std::size_t wide_space_at(std::string_view s, std::size_t i) noexcept {
    const unsigned char c = byte_at(s, i);
    const std::size_t left = s.size() - i;
    if (c == 0xC2) return left >= 2 && (byte_at(s, i + 1) == 0x85 || byte_at(s, i + 1) == 0xA0) ? 2 : 0;
    if (left < 3 || c < 0xE1 || c > 0xE3) return 0;
    const unsigned char b1 = byte_at(s, i + 1);
    const unsigned char b2 = byte_at(s, i + 2);
    bool space = false;
    if (c == 0xE1) {
        space = b1 == 0x9A && b2 == 0x80;
    } else if (c == 0xE2) {
        space = (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF)) ||
                (b1 == 0x81 && b2 == 0x9F);
    } else {
        space = b1 == 0x80 && b2 == 0x80;
    }
    return space ? 3 : 0;
}

// ASCII spaces are \t \n \v \f \r, the four information separators and ' '.
[[gnu::always_inline]] inline std::size_t space_at(std::string_view s, std::size_t i) noexcept {
    const unsigned char c = byte_at(s, i);
    if (c < 0x80) return static_cast<unsigned>(c - 9) < 5 || static_cast<unsigned>(c - 28) < 5 ? 1 : 0;
    return wide_space_at(s, i);
}

std::size_t skip_spaces(std::string_view s, std::size_t i) noexcept {
    while (i < s.size()) {
        const std::size_t length = space_at(s, i);
        if (length == 0) break;
        i += length;
    }
    return i;
}

// The end of the run of non-space characters from i.
std::size_t skip_non_spaces(std::string_view s, std::size_t i) noexcept {
    while (i < s.size() && space_at(s, i) == 0) ++i;
    return i;
}

bool is_space_or_end(std::string_view s, std::size_t i) noexcept {
    return i == s.size() || space_at(s, i) != 0;
}

// The first `count` characters of a text (UTF-8 sequences kept whole).
std::string_view leading_characters(std::string_view s, std::size_t count) noexcept {
    std::size_t i = 0;
    for (std::size_t seen = 0; i < s.size(); ++i) {
        if ((byte_at(s, i) & 0xC0U) != 0x80U && seen++ == count) break;
    }
    return s.substr(0, i);
}

// Keys are compared with text.lower() in Python: beyond ASCII only KELVIN SIGN lowers to a
// lone ASCII letter, 'k', which none of the words sought holds, so equals_ascii_lower serves.
bool is_plain_ascii(std::string_view s) noexcept {
    for (const char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80 || c == '_') return false;
    }
    return true;
}

// ---- the item grammar ---------------------------------------------------------------------

// The end of the quoted text opening at s[i] (either quote; a backslash takes the character
// after it along), or npos when it is not closed.
std::size_t quoted_end(std::string_view s, std::size_t i) noexcept {
    const char quote = s[i];
    std::size_t j = i + 1;
    // The next quote closes it unless a backslash comes first (memchr covers long values fast).
    std::size_t close = s.find(quote, j);
    while (true) {
        const std::size_t backslash = s.substr(0, close == npos ? s.size() : close).find('\\', j);
        if (backslash == npos) return close == npos ? npos : close + 1;
        j = backslash + 2;
        if (j > s.size()) return npos;
        if (close != npos && j > close) close = s.find(quote, j);
    }
}

// The end of the bracketed list opening at s[i]: quoted texts and (when `nested`) one level of
// inner lists inside; npos when it does not close.
std::size_t bracket_end(std::string_view s, std::size_t i, bool nested) noexcept {
    std::size_t j = i + 1;
    while (j < s.size()) {
        const char c = s[j];
        if (c == ']') return j + 1;
        if (c == '"' || c == '\'') {
            j = quoted_end(s, j);
        } else if (c == '[') {
            if (!nested) return npos;
            j = bracket_end(s, j, false);
        } else {
            ++j;
        }
        if (j == npos) return npos;
    }
    return npos;
}

// The end of a value starting at s[v] by its first character, or npos when none starts there.
std::size_t value_end(std::string_view s, std::size_t v) noexcept {
    if (v == s.size()) return npos;
    switch (s[v]) {
        case '"':
        case '\'':
            return quoted_end(s, v);
        case '[':
            return bracket_end(s, v, true);
        case '{': {
            const std::size_t close = s.find_first_of("{}", v + 1);
            return close != npos && s[close] == '}' ? close + 1 : npos;
        }
        case '=':
            return npos;
        default:
            if (space_at(s, v) != 0) return npos;
            std::size_t e = v + 1;
            while (e < s.size() && s[e] != '=' && space_at(s, e) == 0) ++e;
            return e;
    }
}

// A key character: neither space nor '=' nor a quote.
bool is_key_char(std::string_view s, std::size_t i) noexcept {
    const char c = s[i];
    return c != '=' && c != '"' && c != '\'' && space_at(s, i) == 0;
}

// ---- text rules ---------------------------------------------------------------------------

// A quoted text's content: \n, \r, \\ and escaped quotes stand for those characters; any
// other backslash stays with the character after it.
std::string unescape(std::string_view t) {
    if (t.find('\\') == npos) return std::string(t);
    std::string out;
    out.reserve(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (c != '\\' || i + 1 == t.size()) {
            out += c;
            continue;
        }
        const char next = t[++i];
        switch (next) {
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
            case '"':
            case '\'':
                out += next;
                break;
            default:
                out += '\\';
                out += next;
                break;
        }
    }
    return out;
}

// A value untyped: quotes and escapes removed, anything else as written.
std::string plain_text(std::string_view raw) {
    if (!raw.empty() && (raw[0] == '"' || raw[0] == '\'')) return unescape(raw.substr(1, raw.size() - 2));
    return std::string(raw);
}

// The words of a text between runs of spaces (and also between commas when `commas`), and
// what the typing asks of the whole text: whether it holds a comma, and whether it holds
// neither a digit separator '_' nor anything beyond ASCII.
struct Words {
    std::vector<std::string_view> tokens;
    bool comma = false;
    bool plain = true;
};

// What the word splitter needs to know of each byte.
enum ByteClass : std::uint8_t { word_byte, space_byte, comma_byte, underscore_byte, wide_byte };
constexpr std::array<std::uint8_t, 256> byte_classes = [] {
    std::array<std::uint8_t, 256> classes{};
    for (std::size_t c = 0; c < 256; ++c) {
        if (c >= 0x80) {
            classes[c] = wide_byte;
        } else if ((c >= 9 && c <= 13) || (c >= 28 && c <= 32)) {
            classes[c] = space_byte;
        }
    }
    classes[','] = comma_byte;
    classes['_'] = underscore_byte;
    return classes;
}();

Words words(std::string_view t, bool commas) {
    Words out;
    out.tokens.reserve(16);  // a 3x3 matrix's worth without growing
    bool comma = false;
    bool plain = true;
    std::size_t i = 0;
    const std::size_t n = t.size();
    while (true) {
        for (; i < n; ++i) {  // separators
            const std::uint8_t kind = byte_classes[byte_at(t, i)];
            if (kind == space_byte) continue;
            if (kind == comma_byte) {
                comma = true;
                if (commas) continue;
            } else if (kind == wide_byte) {
                plain = false;
                if (const std::size_t length = wide_space_at(t, i); length != 0) {
                    i += length - 1;
                    continue;
                }
            }
            break;
        }
        if (i == n) break;
        const std::size_t start = i;
        for (; i < n; ++i) {  // the word
            const std::uint8_t kind = byte_classes[byte_at(t, i)];
            if (kind == word_byte) continue;
            if (kind == space_byte) break;
            if (kind == comma_byte) {
                comma = true;
                if (commas) break;
            } else if (kind == underscore_byte) {
                plain = false;
            } else {
                plain = false;
                if (wide_space_at(t, i) != 0) break;
            }
        }
        out.tokens.push_back(t.substr(start, i - start));
    }
    out.comma = comma;
    out.plain = plain;
    return out;
}

// [+-] and one or more ASCII digits.
std::size_t int_form_end(std::string_view t, std::size_t i) noexcept {
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    const std::size_t digits = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    return i == digits ? npos : i;
}

bool is_int_form(std::string_view t) noexcept { return int_form_end(t, 0) == t.size(); }

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

// ---- typing -------------------------------------------------------------------------------

CommentValue text_value(std::string text) {
    CommentValue value;
    value.kind = CommentValueKind::text;
    value.text = std::move(text);
    return value;
}

CommentValue deferred_value() {
    CommentValue value;
    value.kind = CommentValueKind::deferred;
    return value;
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
CommentValue scalar(std::string_view t) {
    CommentValue value;
    if (const std::optional<bool> flag = parse_bool_token(t)) {
        value.kind = CommentValueKind::boolean;
        value.boolean = *flag;
    } else if (is_int_form(t)) {
        const auto parsed = parse_int_token(t);
        if (!parsed) return deferred_value();  // Python's integers have no bound
        value.kind = CommentValueKind::integer;
        value.integer = *parsed;
    } else if (const auto real = parse_float_token_nearest(t)) {
        value.kind = CommentValueKind::real;
        value.real = *real;
    } else {
        value = text_value(std::string(t));
    }
    return value;
}

// Number tokens as an int64 array when `int_list`, else (when `float_allowed`, i.e. the text
// holds no digit separator and nothing beyond ASCII, which float() would also take) as a
// float64 array; nullopt when some token is no number.
std::optional<CommentValue> numbers(const std::vector<std::string_view>& tokens, bool int_list, bool float_allowed) {
    CommentValue value;
    if (int_list) {
        value.kind = CommentValueKind::int_array;
        value.ints.reserve(tokens.size());
        for (const std::string_view token : tokens) {
            const auto parsed = parse_int_token(token);
            if (!parsed) return deferred_value();  // beyond int64: floats, or an error of int()
            value.ints.push_back(*parsed);
        }
        return value;
    }
    if (!float_allowed) return std::nullopt;
    value.kind = CommentValueKind::float_array;
    value.reals.reserve(tokens.size());
    for (const std::string_view token : tokens) {
        const auto parsed = parse_float_token_nearest(token);
        if (!parsed) return std::nullopt;
        value.reals.push_back(*parsed);
    }
    return value;
}

// A quoted value's content: one word is typed like a bare token, several numbers or flags
// become an array, anything else stays the text.
CommentValue quoted(std::string_view text) {
    const Words split = words(text, false);
    const std::vector<std::string_view>& tokens = split.tokens;
    if (tokens.size() == 1) return tokens[0].size() == text.size() ? scalar(text) : text_value(std::string(text));
    if (tokens.empty()) return text_value(std::string(text));
    std::optional<CommentValue> typed;
    if (parse_bool_token(tokens[0])) {
        typed = bool_array(tokens);
    } else {
        typed = numbers(split.comma ? words(text, true).tokens : tokens, is_int_list(text), split.plain);
    }
    return typed ? std::move(*typed) : text_value(std::string(text));
}

// The inside of [..] or {..}: quoted items or bare tokens, separated by commas and/or spaces;
// numbers or flags become an array, anything else (strings) is deferred.
std::expected<CommentValue, CommentError> flat_list(std::string_view t) {
    std::vector<std::string_view> items;
    bool any_quoted = false;
    std::size_t pos = 0;
    while (pos < t.size()) {
        const std::size_t start = skip_spaces(t, pos);
        std::size_t end = npos;
        if (start < t.size()) {
            const char c = t[start];
            if (c == '"' || c == '\'') {
                end = quoted_end(t, start);
                any_quoted = any_quoted || end != npos;
            } else if (c != ',' && c != '[' && c != ']' && space_at(t, start) == 0) {
                end = start + 1;
                while (end < t.size() && space_at(t, end) == 0 && t[end] != ',' && t[end] != '"' &&
                       t[end] != '\'' && t[end] != '[' && t[end] != ']') {
                    ++end;
                }
            }
        }
        // After the item: a comma, the end, or spaces (the last of them left for the next item).
        std::size_t next = npos;
        if (end != npos) {
            std::size_t last_space = end;
            std::size_t j = end;
            while (j < t.size()) {
                const std::size_t length = space_at(t, j);
                if (length == 0) break;
                last_space = j;
                j += length;
            }
            if (j < t.size() && t[j] == ',') {
                next = j + 1;
            } else if (j == t.size()) {
                next = j;
            } else if (j > end) {
                next = last_space;
            }
        }
        if (next == npos) {
            for (std::size_t k = pos; k < t.size(); ++k) {
                if (t[k] != ' ' && t[k] != '\t' && t[k] != ',') {
                    return std::unexpected(CommentError{CommentErrorKind::list_item,
                                                        std::string(leading_characters(t.substr(pos), 30))});
                }
            }
            break;
        }
        items.push_back(t.substr(start, end - start));
        pos = next;
    }
    if (items.empty()) {
        CommentValue value;
        value.kind = CommentValueKind::float_array;
        return value;
    }
    if (any_quoted) return deferred_value();
    bool int_list = true;
    bool float_allowed = true;
    for (const std::string_view item : items) {
        int_list = int_list && is_int_form(item);
        float_allowed = float_allowed && is_plain_ascii(item);
    }
    if (std::optional<CommentValue> typed = numbers(items, int_list, float_allowed)) return std::move(*typed);
    if (std::optional<CommentValue> flags = bool_array(items)) return std::move(*flags);
    return deferred_value();
}

// A value as the tokenizer captured it (quotes and brackets included), typed; a deferred
// value carries that text.
std::expected<CommentValue, CommentError> typed_value(std::string_view raw) {
    std::expected<CommentValue, CommentError> typed;
    const char first = raw.empty() ? '\0' : raw[0];
    if (first == '"' || first == '\'') {
        const std::string_view content = raw.substr(1, raw.size() - 2);
        typed = content.find('\\') == npos ? quoted(content) : quoted(unescape(content));
    } else if (first == '[') {
        const std::string_view inner = raw.substr(1, raw.size() - 2);
        const std::size_t start = skip_spaces(inner, 0);
        typed = start < inner.size() && inner[start] == '[' ? deferred_value() : flat_list(inner);
    } else if (first == '{') {
        typed = flat_list(raw.substr(1, raw.size() - 2));
    } else {
        typed = scalar(raw);
    }
    if (typed && typed->kind == CommentValueKind::deferred) typed->text = std::string(raw);
    return typed;
}

// Nine numbers as a 3x3 float64 matrix; false for anything else.
bool make_square(CommentValue& value) {
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

// Three flags (or one for all three) between spaces, commas, brackets, braces or quotes.
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
            ++i;
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

enum class Reserved { none, properties, lattice, pbc };

Reserved reserved_key(std::string_view key) noexcept {
    if (equals_ascii_lower(key, "properties")) return Reserved::properties;
    if (equals_ascii_lower(key, "lattice")) return Reserved::lattice;
    if (equals_ascii_lower(key, "pbc")) return Reserved::pbc;
    return Reserved::none;
}

bool is_matrix_key(std::string_view key) noexcept {
    return equals_ascii_lower(key, "stress") || equals_ascii_lower(key, "virial");
}

// One item of the line: its key (the text as written, quotes included when quoted), whether
// '=' follows, and its value as written.
struct RawItem {
    std::string_view key;
    bool has_value;
    std::string_view value;
};

class LineParser {
public:
    explicit LineParser(std::string_view line) : line_(line) { out_.info.reserve(8); }

    std::expected<ParsedComment, CommentError> run() {
        std::size_t pos = 0;
        while (true) {
            pos = skip_spaces(line_, pos);
            if (pos == line_.size()) return std::move(out_);
            const std::size_t start = pos;
            std::optional<RawItem> item = next_item(pos);
            if (!item) {
                const std::string_view bad = line_.substr(start, skip_non_spaces(line_, start) - start);
                return fail(CommentErrorKind::cannot_parse, std::string(leading_characters(bad, 60)));
            }
            if (auto added = add(*item); !added) return std::unexpected(std::move(added.error()));
        }
    }

private:
    // The item from pos (a non-space character), moving pos past it; nullopt when none
    // starts there.
    std::optional<RawItem> next_item(std::size_t& pos) const {
        const std::string_view s = line_;
        const std::size_t start = pos;
        std::size_t key_end = start;
        if (s[start] == '"') {
            key_end = quoted_end(s, start);
            if (key_end == npos) return std::nullopt;
        } else {
            while (key_end < s.size() && is_key_char(s, key_end)) ++key_end;
            if (key_end == start) return std::nullopt;
        }
        const std::string_view key = s.substr(start, key_end - start);
        const std::size_t equals = skip_spaces(s, key_end);
        if (equals < s.size() && s[equals] == '=') {
            const std::size_t after = equals + 1;
            const std::size_t v = skip_spaces(s, after);
            const std::size_t e = value_end(s, v);
            if (e != npos && is_space_or_end(s, e)) {
                pos = e;
                return RawItem{key, true, s.substr(v, e - v)};
            }
            // No value that ends at a space: an empty one, if a space or the end follows '='.
            if (v == s.size() || v > after) {
                pos = v;
                return RawItem{key, true, {}};
            }
        }
        if (!is_space_or_end(s, key_end)) return std::nullopt;
        pos = key_end;
        return RawItem{key, false, {}};
    }

    std::expected<void, CommentError> add(const RawItem& item) {
        std::string key = item.key[0] == '"' ? unescape(item.key.substr(1, item.key.size() - 2))
                                             : std::string(item.key);
        const Reserved reserved = reserved_key(key);
        if (reserved != Reserved::none) {
            if (!item.has_value) return fail(CommentErrorKind::no_value, std::move(key));
            switch (reserved) {
                case Reserved::properties:
                    if (out_.properties) return fail(CommentErrorKind::properties_twice, {});
                    out_.properties = plain_text(item.value);
                    return {};
                case Reserved::lattice: {
                    if (out_.lattice) return fail(CommentErrorKind::lattice_twice, {});
                    auto typed = typed_value(item.value);
                    if (!typed) return fail(std::move(typed.error()));
                    if (typed->kind == CommentValueKind::deferred) {
                        deferred_ = true;
                    } else if (!make_square(*typed)) {
                        return fail(CommentErrorKind::lattice_numbers, std::string(item.value));
                    }
                    out_.lattice = std::move(*typed);
                    out_.lattice_place = out_.info.size();
                    return {};
                }
                case Reserved::pbc: {
                    if (out_.pbc) return fail(CommentErrorKind::pbc_twice, {});
                    const auto flags = pbc_flags(item.value);
                    if (!flags) return fail(CommentErrorKind::pbc_flags, std::string(item.value));
                    out_.pbc = *flags;
                    return {};
                }
                case Reserved::none:
                    break;
            }
        }
        if (seen(key)) return fail(CommentErrorKind::key_twice, std::move(key));
        CommentValue value;
        if (!item.has_value) {
            value.kind = CommentValueKind::flag;
        } else if (key == "comment") {
            value = text_value(plain_text(item.value));
        } else {
            auto typed = typed_value(item.value);
            if (!typed) return fail(std::move(typed.error()));
            value = std::move(*typed);
            if (value.kind == CommentValueKind::deferred) deferred_ = true;
            if (is_matrix_key(key)) make_square(value);
        }
        remember(key);
        out_.info.push_back(CommentItem{std::move(key), std::move(value)});
        return {};
    }

    // Whether info holds the key: a scan while it holds few, a set beyond.
    bool seen(const std::string& key) const {
        if (!keys_.empty()) return keys_.contains(key);
        for (const CommentItem& item : out_.info) {
            if (item.key == key) return true;
        }
        return false;
    }
    void remember(const std::string& key) {
        static constexpr std::size_t scanned_keys = 32;
        if (keys_.empty() && out_.info.size() < scanned_keys) return;
        if (keys_.empty()) {
            for (const CommentItem& item : out_.info) keys_.insert(item.key);
        }
        keys_.insert(key);
    }

    std::unexpected<CommentError> fail(CommentError error) const {
        error.after_deferred = deferred_;
        return std::unexpected(std::move(error));
    }
    std::unexpected<CommentError> fail(CommentErrorKind kind, std::string text) const {
        return fail(CommentError{kind, std::move(text)});
    }

    std::string_view line_;
    ParsedComment out_;
    std::unordered_set<std::string> keys_;
    bool deferred_ = false;
};

}  // namespace

std::size_t python_space_at(std::string_view s, std::size_t i) noexcept { return space_at(s, i); }

std::expected<ParsedComment, CommentError> parse_comment_line(std::string_view line) {
    if (line.find('=') == npos) {
        // Kept whole, less the spaces around it.
        ParsedComment parsed;
        const std::size_t first = skip_spaces(line, 0);
        std::size_t last = first;
        for (std::size_t i = first; i < line.size();) {
            const std::size_t length = space_at(line, i);
            if (length == 0) {
                last = ++i;
            } else {
                i += length;
            }
        }
        if (last > first) {
            parsed.info.push_back(CommentItem{"comment", text_value(std::string(line.substr(first, last - first)))});
        }
        return parsed;
    }
    const NearestRounding nearest;  // for every float of the line
    return LineParser(line).run();
}

}  // namespace atomkit
