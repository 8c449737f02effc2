// A plain comment line read in one pass: items found byte by byte, quoted values split into
// words on the way, each value typed by the rules the parser types it by (values.hpp), every
// form the parser would read otherwise declined. Plain C++.
#include "core/comment_line/flat_line.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "core/atom_lines/token_grammar.hpp"
#include "core/comment_line/tokens.hpp"
#include "core/comment_line/values.hpp"
#include "core/common/word_bits.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace atomkit {
namespace {

// The spaces of ASCII that Python's str.isspace() accepts: \t \n \v \f \r, the four
// information separators and ' ', as bits of one word.
constexpr std::uint64_t space_bits = 0x1F0003E00ULL;
bool is_space_byte(unsigned char c) noexcept { return c <= 32 && ((space_bits >> c) & 1U) != 0; }

constexpr std::uint64_t ones = 0x0101010101010101ULL;
constexpr std::uint64_t lows = 0x7F7F7F7F7F7F7F7FULL;

// Byte by byte in a word of eight ASCII bytes, as its high bit: whether the byte is `byte`.
// No carry crosses a byte, so each answer is exact.
std::uint64_t bytes_equal(std::uint64_t word, unsigned char byte) noexcept {
    const std::uint64_t x = word ^ (ones * byte);
    return ~(((x & lows) + lows) | x | lows);
}

#if defined(__x86_64__)

// Sixteen bytes marked at once (SSE2, which every x86-64 has): the bits of each mark, and
// those of bytes that decline the line: beyond ASCII, a backslash, or what opens a list or a
// single-quoted text.
struct Chunk {
    std::array<std::uint32_t, 4> marks;
    std::uint32_t refused;
};
Chunk mark_chunk(const char* bytes) noexcept {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    auto equal = [x](char c) { return _mm_cmpeq_epi8(x, _mm_set1_epi8(c)); };
    auto within = [x](char low, char high) {
        return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(low - 1))),
                             _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(high + 1))));
    };
    auto bits = [](__m128i m) { return static_cast<std::uint32_t>(_mm_movemask_epi8(m)); };
    const __m128i space = _mm_or_si128(within(9, 13), within(28, 32));
    const __m128i equals = equal('=');
    const __m128i quote = equal('"');
    const __m128i stop = _mm_or_si128(_mm_or_si128(space, equals), _mm_or_si128(quote, equal('\'')));
    const __m128i opens = _mm_or_si128(_mm_or_si128(equal('['), equal('{')), equal('\''));
    return {{bits(space), bits(equals), bits(quote), bits(stop)}, bits(x) | bits(_mm_or_si128(equal('\\'), opens))};
}
constexpr std::size_t chunk_bytes = 16;

#else

// Eight bytes marked at once, each mark's high bits gathered into eight bits in byte order.
struct Chunk {
    std::array<std::uint32_t, 4> marks;
    std::uint32_t refused;
};
Chunk mark_chunk(const char* bytes) noexcept {
    const std::uint64_t word = load_le_word(bytes);
    const std::uint64_t ascii = word & lows;  // the answers below hold for ASCII bytes
    auto within = [ascii](unsigned char low, unsigned char high) {
        return (ascii + ones * (0x80U - low)) & ~(ascii + ones * (0x7FU - high)) & ~lows;
    };
    auto bits = [](std::uint64_t high_bits) {
        return static_cast<std::uint32_t>((((high_bits & ~lows) >> 7) * 0x0102040810204080ULL) >> 56);
    };
    const std::uint64_t space = within(9, 13) | within(28, 32);
    const std::uint64_t equals = bytes_equal(ascii, '=');
    const std::uint64_t quote = bytes_equal(ascii, '"');
    const std::uint64_t stop = space | equals | quote | bytes_equal(ascii, '\'');
    const std::uint64_t opens = bytes_equal(ascii, '[') | bytes_equal(ascii, '{') | bytes_equal(ascii, '\'');
    return {{bits(space), bits(equals), bits(quote), bits(stop)}, bits(word) | bits(bytes_equal(ascii, '\\') | opens)};
}
constexpr std::size_t chunk_bytes = 8;

#endif

// Whether `s` holds `byte`, eight bytes at a time (s is ASCII).
bool holds(std::string_view s, unsigned char byte) noexcept {
    std::uint64_t found = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) found |= bytes_equal(load_le_word(s.data() + i), byte);
    for (; i < s.size(); ++i) found |= static_cast<unsigned char>(s[i]) == byte ? 1U : 0U;
    return found != 0;
}

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

bool FlatLine::mark(std::string_view s) {
    size_ = s.size();
    marks_.assign((s.size() + 63) / 64, Marks{});
    std::uint32_t refused = 0;
    for (std::size_t at = 0; at < s.size(); at += chunk_bytes) {
        std::array<char, chunk_bytes> tail{};  // the last bytes, and zeros, which no mark takes
        const char* bytes = s.data() + at;
        if (s.size() - at < chunk_bytes) {
            std::memcpy(tail.data(), bytes, s.size() - at);
            bytes = tail.data();
        }
        const Chunk chunk = mark_chunk(bytes);
        refused |= chunk.refused;
        Marks& word = marks_[at / 64];
        for (std::size_t k = 0; k < word.size(); ++k) word[k] |= std::uint64_t{chunk.marks[k]} << (at % 64);
    }
    return refused == 0;
}

[[gnu::always_inline]] inline std::size_t FlatLine::next(Mark what, bool set, std::size_t from) const noexcept {
    if (from >= size_) return size_;
    std::size_t word = from / 64;
    const std::uint64_t flip = set ? 0 : ~std::uint64_t{0};
    std::uint64_t bits = (marks_[word][what] ^ flip) & (~std::uint64_t{0} << (from % 64));
    while (bits == 0) {
        if (++word == marks_.size()) return size_;
        bits = marks_[word][what] ^ flip;
    }
    return std::min(size_, word * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
}

void FlatLine::split_words(std::string_view s, std::size_t from, std::size_t to) {
    // Each 64 bytes at once: a word starts at a byte of one whose byte before is not, and ends
    // at a byte of none whose byte before is (`to` is of none).
    std::size_t ended = 0;
    std::uint64_t carry = 0;  // whether the byte before the 64 is of a word
    for (std::size_t w = from / 64; w <= to / 64 && w < marks_.size(); ++w) {
        const std::size_t base = w * 64;
        std::uint64_t inside = ~std::uint64_t{0};
        if (from > base) inside <<= from - base;
        if (to - base < 64) inside &= (std::uint64_t{1} << (to - base)) - 1;
        const std::uint64_t in_word = ~marks_[w][space] & inside;
        const std::uint64_t before = (in_word << 1) | carry;
        for (std::uint64_t starts = in_word & ~before; starts != 0; starts &= starts - 1) {
            words_.emplace_back(s.data() + base + static_cast<std::size_t>(std::countr_zero(starts)), 0);
        }
        for (std::uint64_t ends = ~in_word & before; ends != 0; ends &= ends - 1) {
            const char* end = s.data() + base + static_cast<std::size_t>(std::countr_zero(ends));
            words_[ended] = std::string_view(words_[ended].data(), static_cast<std::size_t>(end - words_[ended].data()));
            ++ended;
        }
        carry = in_word >> 63;
    }
    if (ended < words_.size()) {  // a word that runs to `to` at the end of the last 64 bytes
        words_.back() = std::string_view(words_.back().data(), static_cast<std::size_t>(s.data() + to - words_.back().data()));
    }
}

bool FlatLine::read(std::string_view s, const CommentOptions& options) {
    items_.clear();
    reals_.clear();
    properties_.reset();
    has_lattice_ = false;
    lattice_place_ = 0;
    pbc_.reset();
    // ASCII without a backslash: no escape or wide space can hide anywhere; nor '[', '{' or
    // '\'', so no list either. Items and words are then found by their marks, without a branch
    // a byte.
    if (!mark(s)) return false;
    const NearestRounding nearest;  // for every float of the line
    const std::size_t n = s.size();
    for (std::size_t i = next(space, false, 0); i < n; i = next(space, false, i)) {
        const std::size_t stop = next(key_end, true, i);
        if (stop == i || stop + 1 >= n || s[stop] != '=') return false;
        const std::string_view key = s.substr(i, stop - i);
        const std::size_t v = stop + 1;
        const bool quoted = s[v] == '"';
        words_.clear();
        if (quoted) {
            // To the next quote, which closes the value (no backslash comes first).
            const std::size_t close = next(quote, true, v + 1);
            if (close == n) return false;
            split_words(s, v + 1, close);
            i = close + 1;
            if (i < n && !is_space_byte(static_cast<unsigned char>(s[i]))) return false;
        } else {
            // A bare value runs to a space or the end; a '=' in it is the parser's to read.
            if (s[v] == '=' || is_space_byte(static_cast<unsigned char>(s[v]))) return false;
            i = next(space, true, v);
            if (next(equals, true, v) < i) return false;
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
    if (parse_bool_token(words_[0]) || holds(content, ',')) return false;
    if (holds(content, '_')) return true;  // no number
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
