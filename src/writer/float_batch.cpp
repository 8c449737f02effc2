// Up to eight short "%16.8f" fields at once: the exact rounding in double arithmetic, the
// digits in integer SIMD lanes, and the run-time choice of kernel.
//
// Every kernel computes, for each |x|, scaled = round_half_even(|x| * 10^8) exactly:
//   high = fl(|x| * 10^8) and low = fma(|x|, 10^8, -high) = |x| * 10^8 - high exactly.
// While high < 2^50 its ulp is at most 1/8, so half-integers lie on its grid and |low| < one
// ulp keeps |x| * 10^8 on the same side of every half-integer as high, unless high is one:
// then low's sign decides, and low == 0 is a true tie. So scaled = rint(high), moved one
// toward |x| * 10^8 when high sits exactly half-way and low points past it. This holds in
// any rounding mode (directed modes only widen |low| to below one ulp), and rint, floor and
// the conversions name their rounding. Short fields are those with scaled < 10^15
// (< 10^14 when negative); the integer part and the eight fraction digits follow as
//   whole = floor(scaled * fl(10^-8) + 5e-9)   (the error stays within (0, 10^-8))
//   fraction = scaled - whole * 10^8           (exact in an fma)
#include "writer/float_batch.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "writer/field_format.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace atomkit {
namespace {

using Kernel = char* (*)(char*, const double*, std::size_t) noexcept;

// Formats each value with write_float_field into a scratch line and keeps it only when every
// field is 16 characters. Below 10^7 a field has at most 17, which the scratch has room for.
char* write_portable(char* out, const double* values, std::size_t n) noexcept {
    for (std::size_t k = 0; k < n; ++k) {
        if (!(std::fabs(values[k]) < 1e7)) return nullptr;  // NaN included
    }
    char line[float_batch_max * float_column_width + 1];
    for (std::size_t k = 0; k < n; ++k) {
        char* column = line + k * float_column_width;
        *column = ' ';
        if (write_float_field(column + 1, values[k]) != column + float_column_width) return nullptr;
    }
    std::memcpy(out, line, n * float_column_width);
    return out + n * float_column_width;
}

#if defined(__x86_64__)

constexpr double ten_pow_8 = 1e8;
constexpr double ten_pow_minus_8 = 1e-8;
constexpr double whole_bias = 5e-9;
constexpr double positive_limit = 1e15;  // scaled values of 7 integer digits
constexpr double negative_limit = 1e14;  // 6 integer digits and the sign
// Every lane of the digit words is 8 digit values, most significant in the lowest byte. The
// integer part's word holds it times ten, so its last digit is 0 and becomes the point.
constexpr std::uint64_t point_and_zeros = 0x2E30303030303030;  // "0000000." little-endian
constexpr std::uint64_t zeros = 0x3030303030303030;
// Marks the integer part's ones digit as nonzero, so that leading zeros stop before it.
constexpr std::uint64_t ones_digit_mark = std::uint64_t{1} << 48;
// Reciprocals for the digit splits, each exact over its lane's range: ceil(2^45 / 10^4) for
// x < 10^8 (written as the int it is stored in), ceil(2^19 / 100) for x < 10^4 and
// ceil(2^16 / 10) for x < 100.
constexpr int div_10000 = -776530087;  // 0xD1B71759
constexpr short div_100 = 5243;
constexpr short div_10 = 6554;
constexpr unsigned char space = ' ';

#define ATOMKIT_AVX2 "avx2,fma"
#define ATOMKIT_AVX512 "avx2,fma,avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi"

// ---- AVX2 + FMA: four values per block -------------------------------------------------

// x < 10^8 in each 64-bit lane -> its 8 digits as byte values.
[[gnu::target(ATOMKIT_AVX2), gnu::always_inline]] inline __m256i digits_avx2(__m256i x) noexcept {
    const __m256i high4 = _mm256_srli_epi64(_mm256_mul_epu32(x, _mm256_set1_epi32(div_10000)), 45);
    const __m256i low4 = _mm256_sub_epi64(x, _mm256_mul_epu32(high4, _mm256_set1_epi64x(10000)));
    const __m256i fours = _mm256_or_si256(high4, _mm256_slli_epi64(low4, 32));
    const __m256i high2 = _mm256_srli_epi16(_mm256_mulhi_epu16(fours, _mm256_set1_epi16(div_100)), 3);
    const __m256i low2 = _mm256_sub_epi16(fours, _mm256_mullo_epi16(high2, _mm256_set1_epi16(100)));
    const __m256i twos = _mm256_or_si256(high2, _mm256_slli_epi32(low2, 16));
    const __m256i tens = _mm256_mulhi_epu16(twos, _mm256_set1_epi16(div_10));
    // tens + 256 * (twos - 10 * tens)
    return _mm256_sub_epi16(_mm256_slli_epi16(twos, 8), _mm256_mullo_epi16(tens, _mm256_set1_epi16(2559)));
}

// An integral double below 2^52 as a 64-bit integer.
[[gnu::target(ATOMKIT_AVX2), gnu::always_inline]] inline __m256i to_u64_avx2(__m256d x) noexcept {
    const __m256d magic = _mm256_set1_pd(4503599627370496.0);  // 2^52
    return _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(x, magic)), _mm256_castpd_si256(magic));
}

// The four columns of values[0..count) at out; false when one of them is not short.
[[gnu::target(ATOMKIT_AVX2)]] bool write_block_avx2(char* out, const double* values, std::size_t count) noexcept {
    const __m256i used = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)),
                                            _mm256_setr_epi64x(0, 1, 2, 3));
    const __m256d x = _mm256_maskload_pd(values, used);
    const __m256i bits = _mm256_castpd_si256(x);
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
    const __m256d scale = _mm256_set1_pd(ten_pow_8);
    const __m256d high = _mm256_mul_pd(magnitude, scale);
    const __m256d low = _mm256_fmsub_pd(magnitude, scale, high);
    __m256d scaled = _mm256_round_pd(high, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d off = _mm256_sub_pd(high, scaled);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d up = _mm256_and_pd(_mm256_cmp_pd(off, _mm256_set1_pd(0.5), _CMP_EQ_OQ),
                                     _mm256_cmp_pd(low, zero, _CMP_GT_OQ));
    const __m256d down = _mm256_and_pd(_mm256_cmp_pd(off, _mm256_set1_pd(-0.5), _CMP_EQ_OQ),
                                       _mm256_cmp_pd(low, zero, _CMP_LT_OQ));
    scaled = _mm256_add_pd(scaled, _mm256_or_pd(_mm256_and_pd(up, _mm256_set1_pd(1.0)),
                                                _mm256_and_pd(down, _mm256_set1_pd(-1.0))));
    // The sign bit picks the limit; NaN and infinities fail the ordered compare.
    const __m256d limit = _mm256_blendv_pd(_mm256_set1_pd(positive_limit), _mm256_set1_pd(negative_limit), x);
    if (_mm256_movemask_pd(_mm256_cmp_pd(scaled, limit, _CMP_LT_OQ)) != 0xF) return false;

    const __m256d whole = _mm256_round_pd(
        _mm256_fmadd_pd(scaled, _mm256_set1_pd(ten_pow_minus_8), _mm256_set1_pd(whole_bias)),
        _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256d fraction = _mm256_fnmadd_pd(whole, scale, scaled);
    const __m256i int_digits = digits_avx2(to_u64_avx2(_mm256_mul_pd(whole, _mm256_set1_pd(10.0))));
    const __m256i frac_digits = digits_avx2(to_u64_avx2(fraction));

    // Bytes below the lowest set bit of the digit word (top bit set) are leading zeros; the
    // last of them (top bit set here, not in the next byte) takes the sign.
    const __m256i marked = _mm256_or_si256(int_digits, _mm256_set1_epi64x(ones_digit_mark));
    const __m256i leading = _mm256_sub_epi64(_mm256_and_si256(marked, _mm256_sub_epi64(_mm256_setzero_si256(), marked)),
                                             _mm256_set1_epi64x(1));
    const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), bits);
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

[[gnu::target(ATOMKIT_AVX512), gnu::always_inline]] inline __m512i digits_avx512(__m512i x) noexcept {
    const __m512i high4 = _mm512_srli_epi64(_mm512_mul_epu32(x, _mm512_set1_epi32(div_10000)), 45);
    const __m512i low4 = _mm512_sub_epi64(x, _mm512_mul_epu32(high4, _mm512_set1_epi64(10000)));
    const __m512i fours = _mm512_or_si512(high4, _mm512_slli_epi64(low4, 32));
    const __m512i high2 = _mm512_srli_epi16(_mm512_mulhi_epu16(fours, _mm512_set1_epi16(div_100)), 3);
    const __m512i low2 = _mm512_sub_epi16(fours, _mm512_mullo_epi16(high2, _mm512_set1_epi16(100)));
    const __m512i twos = _mm512_or_si512(high2, _mm512_slli_epi32(low2, 16));
    const __m512i tens = _mm512_mulhi_epu16(twos, _mm512_set1_epi16(div_10));
    return _mm512_sub_epi16(_mm512_slli_epi16(twos, 8), _mm512_mullo_epi16(tens, _mm512_set1_epi16(2559)));
}

// Byte j of the line comes from head byte 8k + p - 1 (p <= 8) or tail byte 8k + p - 9
// (index + 64), where k = j / 17 and p = j % 17; p == 0 is a space, kept from the index
// vector itself. Two 64-byte halves of the first 128 bytes; the last 8 are tail's last 8.
struct LineIndex {
    std::array<unsigned char, 128> index;
    std::array<std::uint64_t, 2> from_fields;
};

constexpr LineIndex make_line_index() {
    LineIndex line{};
    for (std::size_t j = 0; j < 128; ++j) {
        const std::size_t k = j / float_column_width;
        const std::size_t p = j % float_column_width;
        if (p == 0) {
            line.index[j] = space;
            continue;
        }
        line.index[j] = static_cast<unsigned char>(p <= 8 ? 8 * k + p - 1 : 64 + 8 * k + p - 9);
        line.from_fields[j / 64] |= std::uint64_t{1} << (j % 64);
    }
    return line;
}
alignas(64) constexpr LineIndex line_index = make_line_index();

[[gnu::target(ATOMKIT_AVX512)]] char* write_avx512(char* out, const double* values, std::size_t n) noexcept {
    const auto used = static_cast<__mmask8>((1u << n) - 1);
    const __m512d x = _mm512_maskz_loadu_pd(used, values);
    const __m512i bits = _mm512_castpd_si512(x);
    const __m512d magnitude = _mm512_abs_pd(x);
    const __m512d scale = _mm512_set1_pd(ten_pow_8);
    const __m512d high = _mm512_mul_pd(magnitude, scale);
    const __m512d low = _mm512_fmsub_pd(magnitude, scale, high);
    __m512d scaled = _mm512_roundscale_pd(high, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512d off = _mm512_sub_pd(high, scaled);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __mmask8 up = _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(off, _mm512_set1_pd(0.5), _CMP_EQ_OQ),
                                                low, zero, _CMP_GT_OQ);
    const __mmask8 down = _mm512_mask_cmp_pd_mask(_mm512_cmp_pd_mask(off, _mm512_set1_pd(-0.5), _CMP_EQ_OQ),
                                                  low, zero, _CMP_LT_OQ);
    scaled = _mm512_mask_add_pd(scaled, up, scaled, one);
    scaled = _mm512_mask_sub_pd(scaled, down, scaled, one);
    const __m512d limit = _mm512_mask_blend_pd(_mm512_movepi64_mask(bits), _mm512_set1_pd(positive_limit),
                                               _mm512_set1_pd(negative_limit));
    // Unused lanes hold 0, which passes.
    if (_mm512_cmp_pd_mask(scaled, limit, _CMP_LT_OQ) != 0xFF) return nullptr;

    const __m512d whole = _mm512_roundscale_pd(
        _mm512_fmadd_pd(scaled, _mm512_set1_pd(ten_pow_minus_8), _mm512_set1_pd(whole_bias)),
        _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512d fraction = _mm512_fnmadd_pd(whole, scale, scaled);
    const __m512i int_digits = digits_avx512(_mm512_cvttpd_epu64(_mm512_mul_pd(whole, _mm512_set1_pd(10.0))));
    const __m512i frac_digits = digits_avx512(_mm512_cvttpd_epu64(fraction));

    // Leading zeros and the sign's place as in the AVX2 kernel.
    const __m512i marked = _mm512_or_si512(int_digits, _mm512_set1_epi64(ones_digit_mark));
    const __m512i leading = _mm512_sub_epi64(_mm512_and_si512(marked, _mm512_sub_epi64(_mm512_setzero_si512(), marked)),
                                             _mm512_set1_epi64(1));
    // leading & ~(leading >> 8) & (all ones when negative)
    const __m512i sign = _mm512_ternarylogic_epi64(leading, _mm512_srli_epi64(leading, 8), _mm512_srai_epi64(bits, 63), 0x20);
    __m512i head = _mm512_add_epi8(int_digits, _mm512_set1_epi64(static_cast<long long>(point_and_zeros)));
    head = _mm512_mask_mov_epi8(head, _mm512_movepi8_mask(leading), _mm512_set1_epi8(' '));
    head = _mm512_mask_mov_epi8(head, _mm512_movepi8_mask(sign), _mm512_set1_epi8('-'));
    const __m512i tail = _mm512_add_epi8(frac_digits, _mm512_set1_epi64(static_cast<long long>(zeros)));

    const __m512i first = _mm512_mask2_permutex2var_epi8(head, _mm512_load_si512(line_index.index.data()),
                                                         line_index.from_fields[0], tail);
    const __m512i second = _mm512_mask2_permutex2var_epi8(head, _mm512_load_si512(line_index.index.data() + 64),
                                                          line_index.from_fields[1], tail);
    _mm512_storeu_si512(out, first);
    _mm512_storeu_si512(out + 64, second);
    _mm512_mask_storeu_epi8(out + 128 - 56, __mmask64{0xFF} << 56, tail);
    return out + n * float_column_width;
}

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
