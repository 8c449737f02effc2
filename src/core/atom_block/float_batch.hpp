// Up to eight "%16.8f" float columns of an atom line at once, with SIMD kernels chosen at run
// time for the CPU. Plain C++, no Python.h.
#pragma once

#include <cstddef>

namespace atomkit {

// The most values one call takes, and what each takes in the line: a space and its field.
inline constexpr std::size_t float_batch_max = 8;
inline constexpr std::size_t float_column_width = 17;

// Writes " " + the "%16.8f" field of each of values[0..n) back to back at `out` (17 bytes
// each) and returns out + 17 * n, when every value is finite and its field is exactly 16
// characters: |x| rounds below 10^7, or below 10^6 when x is negative (-0.0 and negative
// values that round to zero are written "-0.00000000" like write_float_field does).
// Otherwise returns nullptr, having written nothing meaningful, and the caller formats the
// values one by one with write_float_field.
// n <= 8; `out` has room for 17 * 8 bytes, which a call may use whatever n is. values[n..8)
// are never read. The bytes are those of write_float_field under any rounding mode.
char* write_short_float_columns(char* out, const double* values, std::size_t n) noexcept;

// The implementations behind write_short_float_columns, for tests and benchmarks: a portable
// loop over write_float_field, and x86-64 kernels for AVX2 + FMA and for AVX-512
// (F, BW, DQ, VL, VBMI).
enum class FloatBatchKernel { portable, avx2, avx512 };
inline constexpr FloatBatchKernel float_batch_kernels[] = {FloatBatchKernel::portable, FloatBatchKernel::avx2,
                                                           FloatBatchKernel::avx512};
const char* float_batch_kernel_name(FloatBatchKernel kernel) noexcept;

// Whether this CPU (and this build) runs `kernel`; portable always runs.
bool float_batch_kernel_supported(FloatBatchKernel kernel) noexcept;
// The kernel write_short_float_columns calls: the best supported one, chosen once.
FloatBatchKernel float_batch_kernel() noexcept;
// write_short_float_columns through a given supported kernel.
char* write_short_float_columns_with(FloatBatchKernel kernel, char* out, const double* values,
                                     std::size_t n) noexcept;

}  // namespace atomkit
