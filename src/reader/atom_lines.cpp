// The atom line parser: cuts each line into tokens at ASCII whitespace and stores them
// into the typed column buffers, or stops at the first bad token with its "row ..." message.
#include "reader/atom_lines.hpp"

#include <array>
#include <charconv>
#include <limits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "lib/internal_failure.hpp"
#include "reader/quoted_token.hpp"
#include "reader/token_grammar.hpp"

namespace atomkit {
namespace {

// Only these five bytes separate tokens. Vertical tab, other controls and every byte of
// a multi-byte character belong to tokens, so a token boundary is always an ASCII byte
// and a token of valid UTF-8 text is valid UTF-8 itself.
constexpr std::array<bool, 256> separator_table = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {' ', '\t', '\n', '\f', '\r'}) table[c] = true;
    return table;
}();

inline bool is_separator(char c) noexcept {
    return separator_table[static_cast<unsigned char>(c)];
}

#if defined(__SSE2__)
// Bit k set when byte k of the 16 at `p` is a separator. The fields of written atom lines
// are padded with runs of spaces of every length, so a byte-by-byte scan mispredicts at
// nearly every run end; finding boundaries 16 bytes at a time takes one branch instead.
inline unsigned separator_bits(const char* p) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i space = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
    // \t \n \f \r are 9, 10, 12, 13: within 9..13 and not the vertical tab 11.
    const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(9));
    const __m128i low_range = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(4)), offset);
    const __m128i vertical_tab = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(11));
    const __m128i separators = _mm_or_si128(space, _mm_andnot_si128(vertical_tab, low_range));
    return static_cast<unsigned>(_mm_movemask_epi8(separators));
}
#endif

// First byte at or after p that is not a separator, or end. Whole 16-byte blocks are
// read only while they lie inside the line, never past its end.
inline const char* skip_separators(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const unsigned others = ~separator_bits(p) & 0xFFFFu;
        if (others != 0) return p + __builtin_ctz(others);
        p += 16;
    }
#endif
    while (p != end && is_separator(*p)) ++p;
    return p;
}

// First separator at or after p, or end.
inline const char* token_end(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const unsigned separators = separator_bits(p);
        if (separators != 0) return p + __builtin_ctz(separators);
        p += 16;
    }
#endif
    while (p != end && !is_separator(*p)) ++p;
    return p;
}

// Element count natoms * count, after checking that its size in bytes stays within
// `max_bytes`. The byte size is checked as an exact product: 64-bit wrap-around would
// let a huge request through as a small one.
std::size_t checked_elements(std::size_t natoms, std::size_t count, std::size_t elem_size,
                             std::size_t max_bytes) {
    std::size_t elements = 0;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(natoms, count, &elements) ||
        __builtin_mul_overflow(elements, elem_size, &bytes) || bytes > max_bytes) {
        fail("capacity overflow");
    }
    return elements;
}

constexpr std::size_t max_bytes_8 = (std::size_t{1} << 63) - 8;
constexpr std::size_t max_bytes_1 = (std::size_t{1} << 63) - 1;

void append_decimal(std::string& out, std::size_t value) {
    std::array<char, std::numeric_limits<std::size_t>::digits10 + 1> digits{};
    auto [end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    (void)ec;  // the array holds every size_t in decimal
    out.append(digits.data(), end);
}

// The failure messages live out of line: the hot loop only ever returns them.
[[gnu::cold, gnu::noinline]] std::string ran_out_message(std::size_t row, std::size_t ncols) {
    std::string message = "row ";
    append_decimal(message, row);
    message += ": expected ";
    append_decimal(message, ncols);
    message += " tokens, ran out";
    return message;
}

[[gnu::cold, gnu::noinline]] std::string bad_token_message(std::size_t row,
                                                           std::string_view token,
                                                           std::string_view kind) {
    std::string message = "row ";
    append_decimal(message, row);
    message += ": cannot parse ";
    append_quoted_token(message, token);
    message += " as ";
    message += kind;
    return message;
}

[[gnu::cold, gnu::noinline]] std::string bad_token_message(std::size_t row,
                                                           std::string_view token,
                                                           std::string_view kind,
                                                           std::string_view reason) {
    std::string message = bad_token_message(row, token, kind);
    message += ": ";
    message += reason;
    return message;
}

}  // namespace

std::expected<ParsedAtoms, std::string> parse_atom_lines(
    std::span<const std::string_view> lines, std::span<const std::uint8_t> col_types) {
    ParsedAtoms out;
    std::size_t n_str_cols = 0;
    for (std::uint8_t code : col_types) {
        switch (code) {
            case 'f': ++out.n_float_cols; break;
            case 'i': ++out.n_int_cols; break;
            case 'b': ++out.n_bool_cols; break;
            case 's': ++n_str_cols; break;
            default: break;
        }
    }
    const std::size_t natoms = lines.size();
    out.natoms = natoms;

    // Every size is checked before anything is allocated, so an impossible request
    // fails without first taking memory for the buffers that would fit.
    const std::size_t n_floats =
        checked_elements(natoms, out.n_float_cols, sizeof(double), max_bytes_8);
    const std::size_t n_ints =
        checked_elements(natoms, out.n_int_cols, sizeof(std::int64_t), max_bytes_8);
    const std::size_t n_bools =
        checked_elements(natoms, out.n_bool_cols, sizeof(std::uint8_t), max_bytes_1);
    out.floats = OwnedBuffer<double>::zeroed(n_floats);
    out.ints = OwnedBuffer<std::int64_t>::zeroed(n_ints);
    out.bools = OwnedBuffer<std::uint8_t>::zeroed(n_bools);
    out.strs.resize(n_str_cols);
    for (StringColumn& column : out.strs) {
        // Two bytes a token fits chemical symbols; longer tokens grow the arena
        // geometrically, which stays cheap next to one allocation per token.
        column.reserve(natoms, natoms * 2);
    }

    const std::size_t ncols = col_types.size();
    if (ncols == 0) return out;  // no column asks for a token, so no line is read
    const std::uint8_t* const codes = col_types.data();
    const NearestRounding nearest;

    // Each row stores exactly n_*_cols values of each type, so running pointers land on
    // row * n_*_cols + k without index arithmetic and never leave their buffer.
    double* float_out = out.floats.data();
    std::int64_t* int_out = out.ints.data();
    std::uint8_t* bool_out = out.bools.data();

    for (std::size_t row = 0; row < natoms; ++row) {
        const char* p = lines[row].data();
        const char* const end = p + lines[row].size();
        std::size_t str_col = 0;
        for (std::size_t col = 0; col < ncols; ++col) {
            p = skip_separators(p, end);
            if (p == end) return std::unexpected(ran_out_message(row, ncols));
            const char* const start = p;
            p = token_end(p + 1, end);
            const std::string_view token(start, static_cast<std::size_t>(p - start));

            switch (codes[col]) {
                case 'f': {
                    const auto value = parse_float_token_nearest(token);
                    if (!value) {
                        return std::unexpected(
                            bad_token_message(row, token, "float", describe(value.error())));
                    }
                    *float_out++ = *value;
                    break;
                }
                case 'i': {
                    const auto value = parse_int_token(token);
                    if (!value) {
                        return std::unexpected(
                            bad_token_message(row, token, "int", describe(value.error())));
                    }
                    *int_out++ = *value;
                    break;
                }
                case 'b': {
                    const auto value = parse_bool_token(token);
                    if (!value) return std::unexpected(bad_token_message(row, token, "bool"));
                    *bool_out++ = static_cast<std::uint8_t>(*value);
                    break;
                }
                case 's':
                    out.strs[str_col++].push_back(token);
                    break;
                default:
                    break;  // a skip column consumes its token and keeps nothing
            }
        }
    }
    return out;
}

}  // namespace atomkit
