// Native tests of write_short_float_columns: every kernel this CPU runs, against
// write_float_field and snprintf("%16.8f"), lane by lane, for every count and rounding mode.
#include <bit>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "core/atom_block/field_format.hpp"
#include "core/atom_block/float_batch.hpp"
#include "harness.hpp"

namespace {

using atomkit::float_batch_kernel_name;
using atomkit::FloatBatchKernel;
constexpr std::size_t batch = atomkit::float_batch_max;
constexpr std::size_t width = atomkit::float_column_width;
constexpr std::size_t room = batch * width;
constexpr std::size_t guard = 16;

std::vector<FloatBatchKernel> kernels() {
    std::vector<FloatBatchKernel> supported;
    for (FloatBatchKernel kernel : atomkit::float_batch_kernels) {
        if (atomkit::float_batch_kernel_supported(kernel)) supported.push_back(kernel);
    }
    return supported;
}

std::string field_of(double value) {
    char text[atomkit::max_float_field];
    return std::string(text, atomkit::write_float_field(text, value));
}

// What a batch of values[0..n) must write: each value's column, or nothing when one of them
// is not finite or not 16 characters.
std::optional<std::string> expected_line(const double* values, std::size_t n) {
    std::string line;
    for (std::size_t k = 0; k < n; ++k) {
        const std::string field = field_of(values[k]);
        if (!std::isfinite(values[k]) || field.size() != 16) return std::nullopt;
        line += ' ';
        line += field;
    }
    return line;
}

std::string label_of(FloatBatchKernel kernel, const double* values, std::size_t n) {
    std::string label = std::string(float_batch_kernel_name(kernel)) + " n=" + std::to_string(n) + ":";
    for (std::size_t k = 0; k < n; ++k) {
        char text[40];
        std::snprintf(text, sizeof text, " %.17g", values[k]);
        label += text;
    }
    return label;
}

// The values end where an inaccessible page starts, so that reading past values[n) faults.
class GuardedValues {
public:
    GuardedValues() : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
        void* base = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) std::abort();
        base_ = static_cast<char*>(base);
        if (mprotect(base_ + page_, page_, PROT_NONE) != 0) std::abort();
    }
    ~GuardedValues() { munmap(base_, 2 * page_); }
    GuardedValues(const GuardedValues&) = delete;
    GuardedValues& operator=(const GuardedValues&) = delete;

    const double* place(const double* values, std::size_t n) {
        double* at = reinterpret_cast<double*>(base_ + page_) - n;
        std::memcpy(at, values, n * sizeof(double));
        return at;
    }

private:
    std::size_t page_;
    char* base_;
};

GuardedValues& guarded() {
    static GuardedValues values;
    return values;
}

// One call of `kernel` on values[0..n) into exactly its room between guard bytes, checked
// against `want`. Returns whether it passed.
bool check_batch(FloatBatchKernel kernel, const double* values, std::size_t n,
                 const std::optional<std::string>& want) {
    char buffer[guard + room + guard];
    std::memset(buffer, '#', sizeof buffer);
    char* const out = buffer + guard;
    const char* const end =
        atomkit::write_short_float_columns_with(kernel, out, guarded().place(values, n), n);
    bool ok = std::string_view(buffer, guard) == std::string(guard, '#') &&
              std::string_view(out + room, guard) == std::string(guard, '#');
    if (want) {
        ok = ok && end == out + n * width && std::string_view(out, n * width) == *want;
    } else {
        ok = ok && end == nullptr;
    }
    if (ok) return harness::check(true, "batch line", "");
    const std::string label = label_of(kernel, values, n);
    harness::check(false, "batch line", label);
    std::printf("     got:  %s\n     want: %s\n",
                end == nullptr ? "nullptr" : harness::show(std::string_view(out, n * width)).c_str(),
                want ? harness::show(*want).c_str() : "nullptr");
    return false;
}

bool check_all_kernels(const double* values, std::size_t n) {
    const std::optional<std::string> want = expected_line(values, n);
    bool ok = true;
    for (FloatBatchKernel kernel : kernels()) ok = check_batch(kernel, values, n, want) && ok;
    return ok;
}

// Ordinary values around the one under test: short fields of both signs.
constexpr double ordinary[batch] = {1.5, -2.25, 12.345678901, 0.0, -0.5, 49.99999999, -123456.7, 7.0};

// `value` at every lane of a full batch, the other lanes ordinary; the field of a finite
// value is also compared with snprintf's.
void check_at_every_lane(double value) {
    if (std::isfinite(value)) {
        char text[512];
        std::snprintf(text, sizeof text, "%16.8f", value);
        harness::check_equal(field_of(value), std::string(text), "write_float_field against snprintf",
                             label_of(FloatBatchKernel::portable, &value, 1));
    }
    for (std::size_t lane = 0; lane < batch; ++lane) {
        double values[batch];
        std::memcpy(values, ordinary, sizeof values);
        values[lane] = value;
        check_all_kernels(values, batch);
    }
}

void check_with_neighbours(double value) {
    check_at_every_lane(std::nextafter(value, -INFINITY));
    check_at_every_lane(value);
    check_at_every_lane(std::nextafter(value, INFINITY));
}

// Where the field changes width or rounding is close: each with its two neighbours.
void test_boundaries() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double edges[] = {
        9999999.999999995, -9999999.999999995, 999999.999999995, -999999.999999995,
        9999999.99999999, -999999.99999999, 1e7, -1e7, 1e6, -1e6, 999999.5, 9999999.5,
        0.999999995, -0.999999995, 0.000000005, -0.000000005, 1.000000005, 99999.999999995,
        0.001953125, 0.005859375, -0.005859375, 2.5e-8, 5e-9, 1.5e-8, 12345.678901234565,
        std::ldexp(1.0, 24), std::ldexp(1.0, 23), std::ldexp(1.0, 20), std::ldexp(1.0, -11),
        std::ldexp(1.0, -27), std::ldexp(1.0, -28), std::ldexp(1.0, 37), std::ldexp(1.0, 53),
        0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, -2.2250738585072009e-308,
        1.7976931348623157e308, -1.7976931348623157e308,
    };
    for (double value : edges) check_with_neighbours(value);
    for (double value : {nan, -nan, inf, -inf, std::bit_cast<double>(0x7FF0000000000001ULL),
                         std::bit_cast<double>(0xFFF8000000000001ULL)}) {
        check_at_every_lane(value);
    }
}

// All biased exponents, each with mantissas at and near its ends, of both signs.
void test_every_exponent() {
    const std::uint64_t mantissas[] = {0, 1, 2, 0x5555555555555, 0x8000000000000, 0xFFFFFFFFFFFFE,
                                       0xFFFFFFFFFFFFF, 0x123456789ABCD};
    for (std::uint64_t exponent = 0; exponent <= 0x7FF; ++exponent) {
        for (std::uint64_t mantissa : mantissas) {
            for (std::uint64_t sign : {0ULL, 1ULL}) {
                const double value = std::bit_cast<double>(sign << 63 | exponent << 52 | mantissa);
                // The lane moves with the pattern, so each exponent meets several lanes.
                double values[batch];
                std::memcpy(values, ordinary, sizeof values);
                values[(exponent + mantissa + sign) % batch] = value;
                check_all_kernels(values, batch);
            }
        }
    }
}

// Exact ties at the eighth decimal are the odd multiples of 2^-9, which round to even; and
// |x| * 10^8 may round in double onto a half-way point that it is not, which must not pass
// for a tie.
void test_ties() {
    std::mt19937_64 random(9);
    std::vector<double> values;
    for (std::uint64_t m = 1; m < (1u << 16); m += 2) values.push_back(std::ldexp(static_cast<double>(m), -9));
    std::uniform_int_distribution<std::uint64_t> odd_multiple(0, 5'000'000'000ULL);
    for (int i = 0; i < 100000; ++i) {
        values.push_back(std::ldexp(static_cast<double>(2 * odd_multiple(random) + 1), -9));
    }
    std::uniform_real_distribution<double> large(1e4, 1e7);
    for (int found = 0; found < 100000;) {
        const double x = large(random);
        const double high = x * 1e8;
        if (high - std::floor(high) == 0.5 && std::fma(x, 1e8, -high) != 0) {
            values.push_back(x);
            ++found;
        }
    }
    for (std::size_t i = 0; i + batch <= values.size(); i += batch) {
        for (std::size_t k = 0; k < batch; ++k) {
            values[i + k] = k % 2 == 0 ? values[i + k] : -values[i + k];
        }
        if (!check_all_kernels(values.data() + i, batch)) break;
    }
    for (std::size_t i = 0; i < values.size(); i += 997) {
        char text[64];
        std::snprintf(text, sizeof text, "%16.8f", values[i]);
        harness::check_equal(field_of(values[i]), std::string(text), "write_float_field against snprintf",
                             label_of(FloatBatchKernel::portable, &values[i], 1));
    }
}

// Every count 0..8, with each lane below it in turn holding a long field or a special (no
// line), and the values past n unreadable.
void test_counts_and_lanes() {
    const double breakers[] = {1e7, -1e6, std::numeric_limits<double>::quiet_NaN(),
                               -std::numeric_limits<double>::infinity()};
    for (std::size_t n = 0; n <= batch; ++n) {
        check_all_kernels(ordinary, n);
        for (std::size_t lane = 0; lane < n; ++lane) {
            for (double breaker : breakers) {
                double values[batch];
                std::memcpy(values, ordinary, sizeof values);
                values[lane] = breaker;
                check_all_kernels(values, n);
            }
        }
    }
}

// One lane's value from a mix: any bit pattern, the short range with every mantissa, near
// the width limits, and exact multiples of 10^-8 and their halves.
double mixed_value(std::mt19937_64& random) {
    const std::uint64_t bits = random();
    const std::uint64_t sign = bits & (std::uint64_t{1} << 63);
    switch (bits & 7) {
        case 0:
        case 1:
            return std::bit_cast<double>(random());
        case 2: {
            const double limit = (bits & 8) != 0 ? 1e7 : 1e6;
            const double near = limit * (1 - std::ldexp(static_cast<double>(random() >> 40), -60));
            return sign != 0 ? -near : near;
        }
        case 3: {
            const auto units = static_cast<double>(random() % 2'000'000'000'000'000ULL);
            return (sign != 0 ? -units : units) * 0.5e-8;
        }
        default: {
            // Exponents from 2^-40 to 2^24.
            const std::uint64_t exponent = 1023 - 40 + (random() % 65);
            return std::bit_cast<double>(sign | exponent << 52 | (random() >> 12));
        }
    }
}

void test_random(std::size_t batches) {
    std::mt19937_64 random(2024);
    int failures = 0;
    for (std::size_t b = 0; b < batches && failures < 10; ++b) {
        double values[batch];
        for (double& value : values) value = mixed_value(random);
        const std::size_t n = (b & 3) == 0 ? random() % (batch + 1) : batch;
        if (!check_all_kernels(values, n)) ++failures;
        if (b % 64 == 0 && std::isfinite(values[0])) {
            char text[512];
            std::snprintf(text, sizeof text, "%16.8f", values[0]);
            harness::check_equal(field_of(values[0]), std::string(text), "write_float_field against snprintf",
                                 label_of(FloatBatchKernel::portable, values, 1));
        }
    }
}

// The fields do not depend on the rounding mode a caller has left set.
void test_rounding_modes() {
    std::mt19937_64 random(77);
    std::vector<double> values(8 * 20000);
    for (double& value : values) value = mixed_value(random);
    std::vector<std::optional<std::string>> want;
    for (std::size_t i = 0; i < values.size(); i += batch) want.push_back(expected_line(&values[i], batch));
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        for (FloatBatchKernel kernel : kernels()) {
            for (std::size_t i = 0; i < values.size(); i += batch) {
                std::fesetround(mode);
                const bool ok = check_batch(kernel, &values[i], batch, want[i / batch]);
                std::fesetround(FE_TONEAREST);
                if (!ok) {
                    std::printf("     in rounding mode %d\n", mode);
                    break;
                }
            }
        }
    }
}

// write_short_float_columns runs the best kernel this CPU has.
void test_dispatch() {
    const char* chosen = float_batch_kernel_name(atomkit::float_batch_kernel());
    harness::check(atomkit::float_batch_kernel() == kernels().back(), "the best supported kernel is chosen", chosen);
    char line[room];
    harness::check(atomkit::write_short_float_columns(line, ordinary, batch) == line + room &&
                       expected_line(ordinary, batch) == std::string(line, room),
                   "the dispatched call writes the line", chosen);
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // what was found before a crash stays in the log
    std::printf("kernels:");
    for (FloatBatchKernel kernel : kernels()) std::printf(" %s", float_batch_kernel_name(kernel));
    std::printf("\n");
    test_dispatch();
    test_boundaries();
    test_every_exponent();
    test_ties();
    test_counts_and_lanes();
    test_rounding_modes();
    test_random(1'000'000);
    return harness::finish();
}
