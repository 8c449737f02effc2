// A plain comment line read in one pass: items found byte by byte, quoted values split into
// words on the way, each value typed by the rules the parser types it by (values.hpp), every
// form the parser would read otherwise declined. Plain C++.
#include "core/comment_line/flat_line.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/atom_lines/token_grammar.hpp"
#include "core/comment_line/tokens.hpp"
#include "core/comment_line/values.hpp"
#include "core/common/word_bits.hpp"

namespace atomkit {
namespace {

// The spaces of ASCII that Python's str.isspace() accepts: \t \n \v \f \r, the four
// information separators and ' ', as bits of one word.
constexpr std::uint64_t space_bits = 0x1F0003E00ULL;
bool is_space_byte(unsigned char c) noexcept { return c <= 32 && ((space_bits >> c) & 1U) != 0; }

constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t highs = 0x8080808080808080ULL;

// The high bit of each byte of `word` that is `byte` (and maybe of bytes past one that is).
std::uint64_t bytes_equal(std::uint64_t word, char byte) noexcept {
    const std::uint64_t x = word ^ (ones * static_cast<unsigned char>(byte));
    return (x - ones) & ~x & highs;
}

// Whether `s` holds a byte of 0x80 or above, `one` or `other`, eight bytes at a time.
bool holds_any(std::string_view s, bool high_bytes, char one, char other) noexcept {
    std::uint64_t found = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        const std::uint64_t word = load_le_word(s.data() + i);
        found |= (high_bytes ? word & highs : 0) | bytes_equal(word, one) | bytes_equal(word, other);
    }
    for (; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        found |= (high_bytes && c >= 0x80) || s[i] == one || s[i] == other ? 1 : 0;
    }
    return found != 0;
}

// A byte of a bare key (of an ASCII line): neither space nor '=' nor a quote.
bool is_key_byte(unsigned char c) noexcept { return c != '=' && c != '"' && c != '\'' && !is_space_byte(c); }

// The three flags of pbc when its words are T/F words, one or three of them (pbc_flags reads
// any other value).
std::optional<std::array<bool, 3>> flag_words(std::span<const std::string_view> words) noexcept {
    std::array<bool, 3> flags{};
    if (words.size() != 1 && words.size() != 3) return std::nullopt;
    for (std::size_t k = 0; k < words.size(); ++k) {
        const std::optional<bool> flag = parse_bool_token(words[k]);
        if (!flag) return std::nullopt;
        flags[k] = *flag;
    }
    if (words.size() == 1) flags[1] = flags[2] = flags[0];
    return flags;
}

}  // namespace

bool FlatLine::read(std::string_view s, const CommentOptions& options) {
    items_.clear();
    reals_.clear();
    properties_.reset();
    has_lattice_ = false;
    lattice_place_ = 0;
    pbc_.reset();
    // ASCII without a backslash: no escape or wide space can then hide anywhere.
    if (holds_any(s, true, '\\', '\\')) return false;
    const NearestRounding nearest;  // for every float of the line
    const std::size_t n = s.size();
    auto space = [s](std::size_t i) { return is_space_byte(static_cast<unsigned char>(s[i])); };
    std::size_t i = 0;
    while (true) {
        while (i < n && space(i)) ++i;
        if (i == n) break;
        const std::size_t key_start = i;
        while (i < n && is_key_byte(static_cast<unsigned char>(s[i]))) ++i;
        if (i == key_start || i + 1 >= n || s[i] != '=') return false;
        const std::string_view key = s.substr(key_start, i - key_start);
        const std::size_t v = ++i;
        const bool quoted = s[v] == '"';
        words_.clear();
        if (quoted) {
            // To the next quote, which closes the value (no backslash comes first).
            const void* close = std::memchr(s.data() + v + 1, '"', n - v - 1);
            if (close == nullptr) return false;
            i = static_cast<std::size_t>(static_cast<const char*>(close) - s.data());
            for (std::size_t j = v + 1;;) {
                while (j < i && space(j)) ++j;
                if (j == i) break;
                const std::size_t word = j;
                while (j < i && !space(j)) ++j;
                words_.push_back(s.substr(word, j - word));
            }
            ++i;
            if (i < n && !space(i)) return false;
        } else {
            // A bare value runs to a space or the end; a '=' in it, or a first byte that opens
            // something, is the parser's to read.
            const char c = s[v];
            if (c == '\'' || c == '[' || c == '{' || c == '=' || space(v)) return false;
            while (i < n && !space(i)) {
                if (s[i] == '=') return false;
                ++i;
            }
        }
        const std::string_view raw = s.substr(v, i - v);
        if (!add(key, raw, quoted ? raw.substr(1, raw.size() - 2) : raw, quoted, options)) return false;
    }
    for (FlatItem& item : items_) {
        if (item.value.kind == CommentValueKind::float_array) {
            item.value.reals = std::span<const double>(reals_).subspan(item.first, item.count);
        }
    }
    return true;
}

bool FlatLine::add(std::string_view key, std::string_view raw, std::string_view content, bool quoted,
                   const CommentOptions& options) {
    switch (comment::reserved_key(key)) {
        case comment::Reserved::properties:
            if (properties_) return false;
            properties_ = content;
            return true;
        case comment::Reserved::lattice: {
            FlatItem lattice;
            if (has_lattice_ || !type_value(lattice, content, quoted, options)) return false;
            if (lattice.value.kind != CommentValueKind::float_array || lattice.count != 9) return false;
            std::copy_n(reals_.begin() + static_cast<std::ptrdiff_t>(lattice.first), 9, lattice_.begin());
            reals_.resize(lattice.first);
            has_lattice_ = true;
            lattice_place_ = items_.size();
            return true;
        }
        case comment::Reserved::pbc:
            if (pbc_) return false;
            pbc_ = flag_words(words_);
            if (!pbc_) pbc_ = comment::pbc_flags(raw);
            return pbc_.has_value();
        case comment::Reserved::none:
            break;
    }
    if (std::ranges::any_of(items_, [key](const FlatItem& item) { return item.key == key; })) return false;
    FlatItem& item = items_.emplace_back();
    item.key = key;
    if (key == "comment") {
        item.value.text = content;  // kept as written
        return true;
    }
    if (!type_value(item, content, quoted, options)) return false;
    if (comment::is_matrix_key(key) && item.value.kind == CommentValueKind::float_array && item.count == 9) {
        item.value.square = true;
    }
    return true;
}

// A float_array's `reals` are viewed once the line is read (the line's reals may still move).
bool FlatLine::type_value(FlatItem& item, std::string_view content, bool quoted, const CommentOptions& options) {
    InfoValue& value = item.value;
    if (!quoted || (words_.size() == 1 && words_[0].size() == content.size())) {
        const auto form = comment::scalar_form(content, options);
        if (!form || form->kind == CommentValueKind::big_integer) return false;
        value.kind = form->kind;
        value.boolean = form->boolean;
        value.integer = form->integer;
        value.real = form->real;
        value.text = content;
        return true;
    }
    value.kind = CommentValueKind::text;
    value.text = content;
    if (words_.size() < 2) return true;  // blank, or one word between spaces: the text
    // Flags, commas and lists of integers take the parser's own reading.
    if (parse_bool_token(words_[0]) || holds_any(content, false, ',', ',')) return false;
    if (holds_any(content, false, '_', '_')) return true;  // no number
    if (std::ranges::all_of(words_, comment::is_int_form)) return false;
    const std::size_t first = reals_.size();
    if (comment::append_floats(words_, reals_)) {
        value.kind = CommentValueKind::float_array;
        item.first = first;
        item.count = reals_.size() - first;
    }
    return true;
}

ParsedComment FlatLine::parsed() const {
    ParsedComment parsed;
    if (properties_) parsed.properties = std::string(*properties_);
    if (has_lattice_) {
        CommentValue lattice;
        lattice.kind = CommentValueKind::float_array;
        lattice.square = true;
        lattice.reals.assign(lattice_.begin(), lattice_.end());
        parsed.lattice = std::move(lattice);
        parsed.lattice_place = lattice_place_;
    }
    parsed.pbc = pbc_;
    parsed.info.reserve(items_.size());
    for (const FlatItem& item : items_) {
        CommentItem& added = parsed.info.emplace_back(std::string(item.key));
        CommentValue& value = added.value;
        const InfoValue& typed = item.value;
        value.kind = typed.kind;
        value.square = typed.square;
        value.boolean = typed.boolean;
        value.integer = typed.integer;
        value.real = typed.real;
        if (typed.kind == CommentValueKind::text) value.text = std::string(typed.text);
        value.reals.assign(typed.reals.begin(), typed.reals.end());
    }
    return parsed;
}

}  // namespace atomkit
