// libFuzzer target of the numeric fields: write_float_field against glibc's "%16.8f" for
// every bit pattern, write_int_field against "%8lld", write_bool_field against T/F, and the
// batch kernels of short float fields against those fields.
//
// Input: bytes 0-7 the double's bit pattern, 8-15 the int64, 16 the bool byte, 17 bits 0-1
// the rounding mode while the fields are written (they must not depend on it); byte 18 the
// batch: bits 0-3 its length n (mod 9), bit 4 = its values lie a few ulps from a tie of the
// eighth decimal; then the bit patterns of values 1..n-1 (value 0 is the first double).
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "core/atom_block/field_format.hpp"
#include "core/atom_block/float_batch.hpp"
#include "fuzz_support.hpp"

namespace {

// A value a few ulps from (m + 1/2) * 10^-8, where the rounding of the eighth decimal is
// hardest; m and the distance come from the raw bits, the sign from the top bit.
double near_tie(std::uint64_t raw) {
    const auto m = static_cast<double>((raw >> 8) % 1000000000000000ULL);
    double value = (m + 0.5) * 1e-8;
    for (int step = static_cast<int>(raw & 0xF) - 8; step != 0; step += step < 0 ? 1 : -1) {
        value = std::nextafter(value, step < 0 ? 0.0 : 1e300);
    }
    return (raw >> 63) != 0 ? -value : value;
}

// Each kernel writes the concatenated " " + field of every value when all of them are short
// (finite, 16 characters), and nothing otherwise.
void check_batch(const double* values, std::size_t n, int mode) {
    std::string expected;
    bool short_fields = true;
    for (std::size_t k = 0; k < n; ++k) {
        const std::string field = fuzz::float_field_reference(values[k]);
        short_fields = short_fields && std::isfinite(values[k]) && field.size() == 16;
        expected += ' ' + field;
    }
    for (const auto kernel : {atomkit::FloatBatchKernel::portable, atomkit::FloatBatchKernel::avx2,
                              atomkit::FloatBatchKernel::avx512}) {
        if (!atomkit::float_batch_kernel_supported(kernel)) continue;
        const auto out = std::make_unique<char[]>(atomkit::float_batch_max * atomkit::float_column_width);
        char* end;
        {
            fuzz::RoundingScope scope(mode);
            end = atomkit::write_short_float_columns_with(kernel, out.get(), values, n);
        }
        const std::string label = "kernel " + std::to_string(static_cast<int>(kernel)) + ": " + expected;
        if (!short_fields) {
            fuzz::check(end == nullptr, "batch kernel took a value that is no short field", label);
            continue;
        }
        fuzz::check(end == out.get() + n * atomkit::float_column_width, "batch kernel refused short fields", label);
        fuzz::check(std::string(out.get(), end) == expected, "batch kernel text differs",
                    label + " | " + std::string(out.get(), end));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Bytes in(data, size);
    const double value = std::bit_cast<double>(in.u64());
    const auto integer = static_cast<std::int64_t>(in.u64());
    const std::uint8_t flag = in.byte();
    const std::uint8_t control = in.byte();

    const std::string float_expected = fuzz::float_field_reference(value);
    const std::string int_expected = fuzz::int_field_reference(integer);

    // Buffers of exactly the documented maximum, so that AddressSanitizer sees any byte
    // written past it.
    const auto float_buffer = std::make_unique<char[]>(atomkit::max_float_field);
    const auto int_buffer = std::make_unique<char[]>(atomkit::max_int_field);
    char bool_buffer[1];
    char* float_end;
    char* int_end;
    char* bool_end;
    {
        fuzz::RoundingScope mode(fuzz::rounding_mode(control));
        float_end = atomkit::write_float_field(float_buffer.get(), value);
        int_end = atomkit::write_int_field(int_buffer.get(), integer);
        bool_end = atomkit::write_bool_field(bool_buffer, flag);
    }

    const std::string float_got(float_buffer.get(), float_end);
    const std::string int_got(int_buffer.get(), int_end);
    fuzz::check(float_got == float_expected, "float field differs", float_expected + " | " + float_got);
    fuzz::check(int_got == int_expected, "int field differs", int_expected + " | " + int_got);
    fuzz::check(bool_end == bool_buffer + 1 && bool_buffer[0] == (flag != 0 ? 'T' : 'F'),
                "bool field differs");

    const std::uint8_t batch = in.byte();
    const std::size_t n = (batch & 0xFu) % (atomkit::float_batch_max + 1);
    double values[atomkit::float_batch_max];
    values[0] = (batch & 0x10) != 0 ? near_tie(std::bit_cast<std::uint64_t>(value)) : value;
    for (std::size_t k = 1; k < n; ++k) {
        const std::uint64_t raw = in.u64();
        values[k] = (batch & 0x10) != 0 ? near_tie(raw) : std::bit_cast<double>(raw);
    }
    check_batch(values, n, fuzz::rounding_mode(control));
    return 0;
}
