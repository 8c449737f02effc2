// libFuzzer target of the numeric fields: write_float_field against glibc's "%16.8f" for
// every bit pattern, write_int_field against "%8lld", write_bool_field against T/F.
//
// Input: bytes 0-7 the double's bit pattern, 8-15 the int64, 16 the bool byte, 17 bits 0-1
// the rounding mode while the fields are written (they must not depend on it).
#include <bit>
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz_support.hpp"
#include "writer/field_format.hpp"

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
    return 0;
}
