// Up to eight short "%16.8f" fields at once: the exact rounding in double arithmetic, the
// digits in integer SIMD lanes, and the run-time choice of kernel.
//
// A field is short (16 characters) when round_half_even(|x| * 10^8) < 10^15, or < 10^14
// for a negative x. The ties 10^15 - 0.5 and 10^14 - 0.5 round to the even 10^15 and 10^14,
// so the fields are short exactly for x in (-999999.999999995, 9999999.999999995), which for
// doubles is x in (-negative_bound, positive_bound) with the bounds the least doubles at or
// above those decimals. NaN fails both ordered compares.
//
// The vector kernels compute scaled = round_half_even(|x| * 10^8) exactly:
//   high = fl(|x| * 10^8) and low = fma(|x|, 10^8, -high) = |x| * 10^8 - high exactly.
// Below 2^50 the ulp of high is at most 1/8, so half-integers lie on its grid and |low| < one
// ulp keeps |x| * 10^8 on the same side of every half-integer as high, unless high is one:
// then low's sign decides, and low == 0 is a true tie. So scaled = rint(high), moved one
// toward |x| * 10^8 when high sits exactly half-way and low points past it. This holds in
// any rounding mode (directed modes only widen |low| to below one ulp); rint, floor and
// the conversions name their rounding, and everything after high and low is exact.
// The digits come from quotients by powers of ten, each floor(v * fl(10^-k)) for k = 4 or 8:
// fl(10^-4) and fl(10^-8) exceed 10^-4 and 10^-8 (by 5e-17 and 2e-17 relative), so a rounded
// product is never below the quotient's integer part and, for v < 10^15, stays far below the
// next integer; the remainders v - q * 10^k are exact in an fma.
#include "core/atom_block/float_batch.hpp"

#include <array>
#include <cstdint>

#include "core/atom_block/field_format.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace atomkit {
namespace {

using Kernel = char* (*)(char*, const double*, std::size_t) noexcept;

constexpr double positive_bound = 0x1.312cffffffffep+23;  // 9999999.999999996
constexpr double negative_bound = 0x1.e847fffffffd6p+19;  // 999999.9999999951

// write_float_field value by value, once the whole batch is known to be short.
char* write_portable(char* out, const double* values, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        if (!(values[k] < positive_bound && values[k] > -negative_bound)) return nullptr;
    }
    for (std::size_t k = 0; k < n; ++k) {
        *out = ' ';
        out = write_float_field(out + 1, values[k]);
    }
    return out;
}

#if defined(__x86_64__)

constexpr double ten_pow_8 = 1e8;
constexpr double ten_pow_minus_8 = 1e-8;
constexpr double ten_pow_minus_4 = 1e-4;
// Reciprocals of the integer digit splits, each exact over its lane's range: ceil(2^19 / 100)
// for x < 10^4, ceil(2^16 / 10) for x < 100.
constexpr short div_100 = 5243;
constexpr short div_10 = 6554;

#define ATOMKIT_AVX2 "avx2,fma"
#define ATOMKIT_AVX512 "avx2,fma,avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi"

// GCC turns a multiply by a known constant into shifts and adds, several instructions where
// the multiply is one; hiding the constant's value keeps the multiply.
[[gnu::target(ATOMKIT_AVX2), gnu::always_inline]] inline __m256i opaque(__m256i constant) noexcept {
    __asm__("" : "+x"(constant));
    return constant;
}

// ---- AVX2 + FMA: four values per block -------------------------------------------------

// Every 64-bit lane of the digit words is 8 digit values, most significant in the lowest
// byte. The integer part's word holds it times ten, so its last digit is 0 and becomes the
// point.
constexpr std::uint64_t point_and_zeros = 0x2E30303030303030;  // "0000000." little-endian
constexpr std::uint64_t zeros = 0x3030303030303030;
// Marks the integer part's ones digit as nonzero, so that leading zeros stop before it.
constexpr std::uint64_t ones_digit_mark = std::uint64_t{1} << 48;

// v < 10^8, integral, in each lane -> its 8 digits as byte values.
[[gnu::target(ATOMKIT_AVX2), gnu::always_inline]] inline __m256i digits_avx2(__m256d v) noexcept {
    // high4 * 2^32 + low4 below 2^52 is exact, and adding 2^52 leaves it in the low bits;
    // swapping the halves puts high4 first.
    const __m256d high4 = _mm256_round_pd(_mm256_mul_pd(v, _mm256_set1_pd(ten_pow_minus_4)),
                                          _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256d two_pow_52 = _mm256_set1_pd(0x1p52);
    const __m256d packed = _mm256_fmadd_pd(high4, _mm256_set1_pd(0x1p32 - 1e4), _mm256_add_pd(v, two_pow_52));
    const __m256i fours = _mm256_shuffle_epi32(_mm256_xor_si256(_mm256_castpd_si256(packed), _mm256_castpd_si256(two_pow_52)),
                                               _MM_SHUFFLE(2, 3, 0, 1));
    const __m256i high2 = _mm256_srli_epi16(_mm256_mulhi_epu16(fours, _mm256_set1_epi16(div_100)), 3);
    const __m256i low2 = _mm256_sub_epi16(fours, _mm256_mullo_epi16(high2, opaque(_mm256_set1_epi16(100))));
    const __m256i twos = _mm256_or_si256(high2, _mm256_slli_epi32(low2, 16));
    const __m256i tens = _mm256_mulhi_epu16(twos, _mm256_set1_epi16(div_10));
    // tens + 256 * (twos - 10 * tens), modulo 2^16
    return _mm256_sub_epi16(_mm256_slli_epi16(twos, 8), _mm256_mullo_epi16(tens, opaque(_mm256_set1_epi16(2559))));
}

// The four columns of values[0..count) at out; false when one of them is not short.
[[gnu::target(ATOMKIT_AVX2)]] bool write_block_avx2(char* out, const double* values, std::size_t count) noexcept {
    const __m256i used = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)),
                                            _mm256_setr_epi64x(0, 1, 2, 3));
    const __m256d x = _mm256_maskload_pd(values, used);
    // Unused lanes hold 0, which passes.
    const __m256d short_fields = _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(-negative_bound), _CMP_GT_OQ),
                                               _mm256_cmp_pd(x, _mm256_set1_pd(positive_bound), _CMP_LT_OQ));
    if (_mm256_movemask_pd(short_fields) != 0xF) return false;

    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
    const __m256d scale = _mm256_set1_pd(ten_pow_8);
    const __m256d high = _mm256_mul_pd(magnitude, scale);
    __m256d scaled = _mm256_round_pd(high, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d off = _mm256_sub_pd(high, scaled);
    const __m256d half_up = _mm256_cmp_pd(off, _mm256_set1_pd(0.5), _CMP_EQ_OQ);
    const __m256d half_down = _mm256_cmp_pd(off, _mm256_set1_pd(-0.5), _CMP_EQ_OQ);
    if (_mm256_movemask_pd(_mm256_or_pd(half_up, half_down)) != 0) [[unlikely]] {
        const __m256d low = _mm256_fmsub_pd(magnitude, scale, high);
        const __m256d zero = _mm256_setzero_pd();
        const __m256d up = _mm256_and_pd(half_up, _mm256_cmp_pd(low, zero, _CMP_GT_OQ));
        const __m256d down = _mm256_and_pd(half_down, _mm256_cmp_pd(low, zero, _CMP_LT_OQ));
        scaled = _mm256_add_pd(scaled, _mm256_or_pd(_mm256_and_pd(up, _mm256_set1_pd(1.0)),
                                                    _mm256_and_pd(down, _mm256_set1_pd(-1.0))));
    }

    const __m256d whole = _mm256_round_pd(_mm256_mul_pd(scaled, _mm256_set1_pd(ten_pow_minus_8)),
                                          _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256d fraction = _mm256_fnmadd_pd(whole, scale, scaled);
    const __m256i int_digits = digits_avx2(_mm256_mul_pd(whole, _mm256_set1_pd(10.0)));
    const __m256i frac_digits = digits_avx2(fraction);

    // Bytes below the lowest set bit of the digit word (top bit set) are leading zeros; the
    // last of them (top bit set here, not in the next byte) takes the sign.
    const __m256i marked = _mm256_or_si256(int_digits, _mm256_set1_epi64x(ones_digit_mark));
    const __m256i leading = _mm256_add_epi64(_mm256_and_si256(marked, _mm256_sub_epi64(_mm256_setzero_si256(), marked)),
                                             _mm256_set1_epi64x(-1));
    const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), _mm256_castpd_si256(x));  // sign bit
    const __m256i sign = _mm256_and_si256(_mm256_andnot_si256(_mm256_srli_epi64(leading, 8), leading), negative);
    __m256i head = _mm256_add_epi8(int_digits, _mm256_set1_epi64x(static_cast<long long>(point_and_zeros)));
    head = _mm256_blendv_epi8(head, _mm256_set1_epi8(' '), leading);
    head = _mm256_blendv_epi8(head, _mm256_set1_epi8('-'), sign);
    const __m256i tail = _mm256_add_epi8(frac_digits, _mm256_set1_epi64x(static_cast<long long>(zeros)));

    // One field per 128-bit lane: columns 0 and 2, then 1 and 3.
    const __m256i even = _mm256_unpacklo_epi64(head, tail);
    const __m256i odd = _mm256_unpackhi_epi64(head, tail);
    const __m128i fields[4] = {_mm256_castsi256_si128(even), _mm256_castsi256_si128(odd),
                               _mm256_extracti128_si256(even, 1), _mm256_extracti128_si256(odd, 1)};
    for (const __m128i& field : fields) {
        *out = ' ';
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), field);
        out += float_column_width;
    }
    return true;
}

[[gnu::target(ATOMKIT_AVX2)]] char* write_avx2(char* out, const double* values, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; k += 4) {
        if (!write_block_avx2(out + k * float_column_width, values + k, n - k < 4 ? n - k : 4)) return nullptr;
    }
    return out + n * float_column_width;
}

// ---- AVX-512: all eight values at once ---------------------------------------------------
//
// Each value's integer part and fraction become int32 lanes high4 * 2^16 + low4 (integer
// parts in dwords 0-7, fractions in dwords 8-15); each 16-bit group then becomes two bytes,
// its first two digits in the low one; two table lookups give every byte's tens and ones
// digits in ASCII; and one byte permutation per 64 bytes of line picks the digits in order,
// with the spaces and points coming from the index vector itself.

// GCC 12's AVX-512 intrinsics start from self-initialised "undefined" vectors, which its
// uninitialised-value warnings report in every caller.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

[[gnu::target(ATOMKIT_AVX512), gnu::always_inline]] inline __m512i opaque(__m512i constant) noexcept {
    __asm__("" : "+v"(constant));
    return constant;
}

// The line's byte j is column k = j / 17, position p = j % 17 of the " " + field text.
struct LineLayout {
    // Per 64-byte part of the line (the third has 8 bytes): the digit each byte shows, as an
    // index into tens (0-63) or ones (64-127), or the literal ' ' or '.'.
    std::array<std::array<unsigned char, 64>, 3> index;
    std::array<std::uint64_t, 2> from_digits;  // the bytes that are digits
    std::array<std::uint64_t, 2> may_lead;     // integer digits that may be leading zeros: p 1-6
    std::array<std::uint64_t, 2> first_digit;  // p = 1
    // Positions 1-6 of the columns whose sign bit is set, by the 4 sign bits of each part.
    std::array<std::array<std::uint64_t, 16>, 2> negative;
};

// Digit m (0-7, most significant first) of the 8-digit group pair in dword `group`: the low
// word holds digits 4-7, the high word 0-3; each word's low byte its first two digits.
constexpr unsigned char digit_index(std::size_t group, std::size_t m) {
    constexpr std::size_t byte_of_digit[8] = {2, 2, 3, 3, 0, 0, 1, 1};
    return static_cast<unsigned char>(4 * group + byte_of_digit[m] + (m % 2 == 0 ? 0 : 64));
}

constexpr LineLayout make_line_layout() {
    LineLayout line{};
    for (std::size_t j = 0; j < float_batch_max * float_column_width; ++j) {
        const std::size_t k = j / float_column_width;
        const std::size_t p = j % float_column_width;
        const std::size_t part = j / 64;
        const std::uint64_t bit = std::uint64_t{1} << (j % 64);
        unsigned char& index = line.index[part][j % 64];
        if (p == 0 || p == 8) {
            index = p == 0 ? ' ' : '.';
            continue;
        }
        // The integer part is 7 digits: digits 1-7 of its group (digit 0 is always 0).
        index = p < 8 ? digit_index(k, p) : digit_index(8 + k, p - 9);
        if (part == 2) continue;
        line.from_digits[part] |= bit;
        if (p <= 6) line.may_lead[part] |= bit;
        if (p == 1) line.first_digit[part] |= bit;
        for (std::size_t signs = 0; signs < 16; ++signs) {
            if (p <= 6 && (signs >> (k % 4) & 1) != 0) line.negative[part][signs] |= bit;
        }
    }
    return line;
}

alignas(64) constexpr LineLayout line_layout = make_line_layout();

// ASCII tens and ones digits of 0-99, indexed by the number (128 entries, two vectors each).
struct DigitTables {
    std::array<char, 128> tens;
    std::array<char, 128> ones;
};

constexpr DigitTables make_digit_tables() {
    DigitTables tables{};
    for (std::size_t i = 0; i < 128; ++i) {
        tables.tens[i] = static_cast<char>('0' + i / 10 % 10);
        tables.ones[i] = static_cast<char>('0' + i % 10);
    }
    return tables;
}

alignas(64) constexpr DigitTables digit_tables = make_digit_tables();

[[gnu::target(ATOMKIT_AVX512), gnu::always_inline]] inline __m512d floor_avx512(__m512d v) noexcept {
    return _mm512_roundscale_pd(v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
}

[[gnu::target(ATOMKIT_AVX512), gnu::always_inline]] inline __m512i load_index(std::size_t part) noexcept {
    return _mm512_load_si512(line_layout.index[part].data());
}

// Blanks the leading zeros of each column's integer part in one 64-byte part of the line,
// and puts a minus sign before the first digit of the negative ones.
[[gnu::target(ATOMKIT_AVX512), gnu::always_inline]] inline __m512i
blank_leading_zeros(__m512i line, std::size_t part, unsigned signs) noexcept {
    // Adding 1 at each column's first digit carries through its run of zeros, which is where
    // the sum differs; a run's last zero, when the column is negative, takes the sign.
    const std::uint64_t zero_digits = _cvtmask64_u64(_mm512_cmpeq_epi8_mask(line, _mm512_set1_epi8('0'))) &
                                      line_layout.may_lead[part];
    const std::uint64_t blanks = zero_digits & ~(zero_digits + line_layout.first_digit[part]);
    const std::uint64_t sign = blanks & ~(blanks >> 1) & line_layout.negative[part][signs];
    line = _mm512_mask_mov_epi8(line, _cvtu64_mask64(blanks), _mm512_set1_epi8(' '));
    return _mm512_mask_mov_epi8(line, _cvtu64_mask64(sign), _mm512_set1_epi8('-'));
}

[[gnu::target(ATOMKIT_AVX512)]] char* write_avx512(char* out, const double* values, std::size_t n) noexcept {
    const auto used = static_cast<__mmask8>((1u << n) - 1);
    const __m512d x = _mm512_maskz_loadu_pd(used, values);
    // Unused lanes hold 0, which passes.
    const __mmask8 short_fields = _mm512_mask_cmp_pd_mask(
        _mm512_cmp_pd_mask(x, _mm512_set1_pd(-negative_bound), _CMP_GT_OQ), x, _mm512_set1_pd(positive_bound),
        _CMP_LT_OQ);
    if (short_fields != 0xFF) return nullptr;

    const __m512d magnitude = _mm512_abs_pd(x);
    const __m512d scale = _mm512_set1_pd(ten_pow_8);
    const __m512d high = _mm512_mul_pd(magnitude, scale);
    __m512d scaled = _mm512_roundscale_pd(high, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512d off = _mm512_sub_pd(high, scaled);
    const __mmask8 half_up = _mm512_cmp_pd_mask(off, _mm512_set1_pd(0.5), _CMP_EQ_OQ);
    const __mmask8 half_down = _mm512_cmp_pd_mask(off, _mm512_set1_pd(-0.5), _CMP_EQ_OQ);
    if ((half_up | half_down) != 0) [[unlikely]] {
        const __m512d low = _mm512_fmsub_pd(magnitude, scale, high);
        const __m512d zero = _mm512_setzero_pd();
        const __m512d one = _mm512_set1_pd(1.0);
        scaled = _mm512_mask_add_pd(scaled, _mm512_mask_cmp_pd_mask(half_up, low, zero, _CMP_GT_OQ), scaled, one);
        scaled = _mm512_mask_sub_pd(scaled, _mm512_mask_cmp_pd_mask(half_down, low, zero, _CMP_LT_OQ), scaled, one);
    }

    const __m512d ten_thousandth = _mm512_set1_pd(ten_pow_minus_4);
    const __m512d whole = floor_avx512(_mm512_mul_pd(scaled, _mm512_set1_pd(ten_pow_minus_8)));
    const __m512d over_10000 = floor_avx512(_mm512_mul_pd(scaled, ten_thousandth));
    const __m512d whole_over_10000 = floor_avx512(_mm512_mul_pd(whole, ten_thousandth));
    const __m512d group_shift = _mm512_set1_pd(65536 - 1e4);
    const __m256i whole_groups = _mm512_cvttpd_epi32(_mm512_fmadd_pd(whole_over_10000, group_shift, whole));
    const __m256i fraction_groups = _mm512_cvttpd_epi32(_mm512_fnmadd_pd(
        whole, _mm512_set1_pd(1e4 * 65536), _mm512_fmadd_pd(over_10000, group_shift, scaled)));
    const __m512i groups = _mm512_inserti64x4(_mm512_castsi256_si512(whole_groups), fraction_groups, 1);
    // Each 16-bit group g < 10^4 -> g / 100 + 256 * (g % 100), modulo 2^16.
    const __m512i high2 = _mm512_srli_epi16(_mm512_mulhi_epu16(groups, _mm512_set1_epi16(div_100)), 3);
    const __m512i pairs = _mm512_sub_epi16(_mm512_slli_epi16(groups, 8),
                                           _mm512_mullo_epi16(high2, opaque(_mm512_set1_epi16(25599))));
    const __m512i tens = _mm512_permutex2var_epi8(_mm512_load_si512(digit_tables.tens.data()), pairs,
                                                  _mm512_load_si512(digit_tables.tens.data() + 64));
    const __m512i ones = _mm512_permutex2var_epi8(_mm512_load_si512(digit_tables.ones.data()), pairs,
                                                  _mm512_load_si512(digit_tables.ones.data() + 64));

    const unsigned signs = _cvtmask8_u32(_mm512_movepi64_mask(_mm512_castpd_si512(x)));
    for (std::size_t part = 0; part < 2; ++part) {
        const __m512i line = _mm512_mask2_permutex2var_epi8(tens, load_index(part),
                                                            _cvtu64_mask64(line_layout.from_digits[part]), ones);
        _mm512_storeu_si512(out + 64 * part, blank_leading_zeros(line, part, signs >> (4 * part) & 0xF));
    }
    // The last 8 bytes: the fraction of column 7.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 128),
                     _mm512_castsi512_si128(_mm512_permutex2var_epi8(tens, load_index(2), ones)));
    return out + n * float_column_width;
}

#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#undef ATOMKIT_AVX2
#undef ATOMKIT_AVX512

#endif  // __x86_64__

Kernel kernel_of(FloatBatchKernel kernel) noexcept {
    switch (kernel) {
#if defined(__x86_64__)
        case FloatBatchKernel::avx2:
            return write_avx2;
        case FloatBatchKernel::avx512:
            return write_avx512;
#endif
        default:
            return write_portable;
    }
}

FloatBatchKernel best_kernel() noexcept {
    if (float_batch_kernel_supported(FloatBatchKernel::avx512)) return FloatBatchKernel::avx512;
    if (float_batch_kernel_supported(FloatBatchKernel::avx2)) return FloatBatchKernel::avx2;
    return FloatBatchKernel::portable;
}

}  // namespace

const char* float_batch_kernel_name(FloatBatchKernel kernel) noexcept {
    switch (kernel) {
        case FloatBatchKernel::portable:
            return "portable";
        case FloatBatchKernel::avx2:
            return "avx2";
        case FloatBatchKernel::avx512:
            return "avx512";
    }
    return "unknown";
}

bool float_batch_kernel_supported(FloatBatchKernel kernel) noexcept {
#if defined(__x86_64__)
    // It may run before the constructor that fills the CPU model does.
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    switch (kernel) {
        case FloatBatchKernel::portable:
            return true;
        case FloatBatchKernel::avx2:
            return avx2;
        case FloatBatchKernel::avx512:
            return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512vbmi");
    }
    return false;
#else
    return kernel == FloatBatchKernel::portable;
#endif
}

FloatBatchKernel float_batch_kernel() noexcept {
    static const FloatBatchKernel chosen = best_kernel();  // thread-safe initialisation
    return chosen;
}

char* write_short_float_columns_with(FloatBatchKernel kernel, char* out, const double* values,
                                     std::size_t n) noexcept {
    return kernel_of(kernel)(out, values, n);
}

char* write_short_float_columns(char* out, const double* values, std::size_t n) noexcept {
    static const Kernel kernel = kernel_of(float_batch_kernel());
    return kernel(out, values, n);
}

}  // namespace atomkit
