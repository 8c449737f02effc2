// Nanoseconds per value of the float columns of atom lines: write_float_field one by one
// against write_short_float_columns with each kernel this CPU runs. Build and run from the
// repository root:
//   g++ -std=c++23 -O3 -Isrc bench/float_batch_bench.cpp src/core/atom_block/float_batch.cpp src/core/atom_block/field_format.cpp -o build/fb/float_batch_bench && build/fb/float_batch_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/atom_block/field_format.hpp"
#include "core/atom_block/float_batch.hpp"

namespace {

using atomkit::FloatBatchKernel;
using Clock = std::chrono::steady_clock;

constexpr std::size_t lines = 20000;
constexpr int repeats = 25;

char* write_scalar(char* out, const double* values, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        *out++ = ' ';
        out = atomkit::write_float_field(out, values[k]);
    }
    return out;
}

// Lines of `columns` values each, batch by batch, with the one-by-one path where a batch
// declines; `kernel` null means write_float_field throughout.
std::string run(const std::vector<double>& values, std::size_t columns, const FloatBatchKernel* kernel,
                double& best_ns_per_value) {
    std::vector<char> text(lines * (columns * 64 + 1));
    char* end = nullptr;
    best_ns_per_value = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = Clock::now();
        char* out = text.data();
        for (std::size_t i = 0; i < lines; ++i) {
            const double* row = values.data() + i * columns;
            char* next = kernel != nullptr ? atomkit::write_short_float_columns_with(*kernel, out, row, columns) : nullptr;
            out = next != nullptr ? next : write_scalar(out, row, columns);
            *out++ = '\n';
        }
        const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
        best_ns_per_value = std::min(best_ns_per_value, elapsed.count() / static_cast<double>(lines * columns));
        end = out;
    }
    return std::string(text.data(), end);
}


// Positions uniform in [0, 50) and forces normal(0, 1): three of each per atom, and for
// eight columns two more positions.
std::vector<double> atom_values(std::size_t columns) {
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> position(0.0, 50.0);
    std::normal_distribution<double> force(0.0, 1.0);
    std::vector<double> values;
    for (std::size_t i = 0; i < lines; ++i) {
        for (std::size_t k = 0; k < columns; ++k) values.push_back(k % 6 < 3 || k >= 6 ? position(random) : force(random));
    }
    return values;
}

}  // namespace

int main() {
    std::printf("%zu lines, best of %d runs; dispatched kernel: %s\n", lines, repeats,
                atomkit::float_batch_kernel_name(atomkit::float_batch_kernel()));
    for (std::size_t columns : {std::size_t{6}, std::size_t{8}}) {
        const std::vector<double> values = atom_values(columns);
        double scalar_ns = 0;
        const std::string want = run(values, columns, nullptr, scalar_ns);
        std::printf("%zu columns: write_float_field %.2f ns/value\n", columns, scalar_ns);
        for (FloatBatchKernel kernel : atomkit::float_batch_kernels) {
            if (!atomkit::float_batch_kernel_supported(kernel)) continue;
            double ns = 0;
            const bool same = run(values, columns, &kernel, ns) == want;
            std::printf("%zu columns: %-8s %.2f ns/value (%.1fx)%s\n", columns, atomkit::float_batch_kernel_name(kernel), ns, scalar_ns / ns,
                        same ? "" : "  TEXT DIFFERS");
        }
    }
}
