// libFuzzer target of frames split across the module's threads: any bytes parsed as a block and
// as lines, and matrices drawn from the bytes written, split into ranges of a few rows on three
// threads, against the same call whole (which fuzz_atom_lines and fuzz_atom_block check
// against references): the same columns, end, text, failure and row.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/atom_block/atom_block.hpp"
#include "core/atom_lines/atom_lines.hpp"
#include "core/common/thread_pool.hpp"
#include "fuzz_support.hpp"
#include "same_atoms.hpp"

namespace {

constexpr std::uint8_t code_choices[] = {'s', 'f', 'i', 'b', 'x'};

template <class Parsed, class Atoms>
void check_same(const std::expected<Parsed, atomkit::ParseFailure>& one,
                const std::expected<Parsed, atomkit::ParseFailure>& split, Atoms atoms, const char* what) {
    fuzz::check(one.has_value() == split.has_value(), what, one ? split.error().message : one.error().message);
    if (one) {
        fuzz::check(fuzz::same_atoms(atoms(*one), atoms(*split)), what);
        return;
    }
    fuzz::check(one.error().message == split.error().message, what, one.error().message + " | " + split.error().message);
    fuzz::check(one.error().row == split.error().row && one.error().in_line == split.error().in_line &&
                    one.error().line_start == split.error().line_start,
                what, one.error().message);
}

// The call whole (the split threshold out of reach) or split from `min_rows` rows on; the
// thread count stays, so the pool is made once.
template <class Call>
auto split_from(std::size_t min_rows, Call&& call) {
    atomkit::set_parallel_min_rows(min_rows);
    return call();
}
constexpr std::size_t whole = ~std::size_t{0};

std::string outcome_of_write(const atomkit::AtomBlockInput& input) {
    try {
        return "text:" + atomkit::build_atom_block(input);
    } catch (const std::exception& e) {
        return std::string("failure:") + e.what();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    atomkit::set_thread_count(3);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Bytes in(bytes, size);
    std::vector<std::uint8_t> codes(in.byte() % 7);
    for (std::uint8_t& code : codes) code = code_choices[in.byte() % 5];
    const std::size_t natoms = in.byte() % 64;
    const std::size_t min_rows = 2 + in.byte() % 7;
    const std::string_view data = in.rest();

    // A block from the start of the data, and the same data as lines cut at line feeds.
    const auto block_one = split_from(whole, [&] { return atomkit::parse_atom_block(data, 0, natoms, codes); });
    const auto block_split = split_from(min_rows, [&] { return atomkit::parse_atom_block(data, 0, natoms, codes); });
    check_same(block_one, block_split, [](const atomkit::ParsedBlock& b) -> const atomkit::ParsedAtoms& { return b.atoms; },
               "split block differs");
    if (block_one) fuzz::check(block_one->end == block_split->end, "split block end differs");

    std::vector<std::string> owned;
    for (std::size_t start = 0; start < data.size();) {
        const std::size_t feed = std::min(data.find('\n', start), data.size());
        owned.push_back(fuzz::repair_utf8(data.substr(start, feed - start)));
        start = feed + 1;
    }
    const std::vector<std::string_view> lines(owned.begin(), owned.end());
    const auto lines_one = split_from(whole, [&] { return atomkit::parse_atom_lines(lines, codes); });
    const auto lines_split = split_from(min_rows, [&] { return atomkit::parse_atom_lines(lines, codes); });
    check_same(lines_one, lines_split, [](const atomkit::ParsedAtoms& a) -> const atomkit::ParsedAtoms& { return a; },
               "split lines differ");

    // Matrices over the data's bytes (rows of the usual and of wide fields, symbols of any
    // code points), written whole and split.
    const std::size_t rows = std::max<std::size_t>(natoms, 1);
    std::vector<double> floats(rows * 2);
    std::vector<std::int64_t> ints(rows);
    std::vector<std::uint32_t> symbols(rows * 2);
    std::vector<std::uint8_t> flags(rows);
    for (std::size_t k = 0; k < floats.size(); ++k) {
        const auto b = k < data.size() ? static_cast<std::uint8_t>(data[k]) : std::uint8_t{0};
        floats[k] = b < 200 ? b / 8.0 : b < 230 ? -1.5e6 * b : 1e300 / b;
    }
    for (std::size_t k = 0; k < rows; ++k) {
        const auto b = k < data.size() ? static_cast<std::uint8_t>(data[data.size() - 1 - k]) : std::uint8_t{7};
        ints[k] = b < 240 ? b : INT64_MIN + b;
        symbols[2 * k] = b < 128 ? 'A' + b % 26 : 0x370 + b;
        symbols[2 * k + 1] = b % 3 == 0 ? 0 : 'e';
        flags[k] = b & 1;
    }
    atomkit::AtomBlockInput input;
    const std::size_t short_rows = natoms == 0 ? 0 : natoms - natoms / 9;  // some calls run past a matrix
    input.symbols = {reinterpret_cast<const std::byte*>(symbols.data()), natoms, 2, 8, 4};
    input.sym_width = codes.empty() ? 0 : codes[0] % 4;
    input.floats = {reinterpret_cast<const std::byte*>(floats.data()), natoms, 2, 16, 8};
    input.ints = {reinterpret_cast<const std::byte*>(ints.data()), short_rows, 1, 8, 8};
    input.bools = {reinterpret_cast<const std::byte*>(flags.data()), natoms, 1, 1, 1};
    input.col_types = codes;
    const std::string write_one = split_from(whole, [&] { return outcome_of_write(input); });
    const std::string write_split = split_from(min_rows, [&] { return outcome_of_write(input); });
    fuzz::check(write_one == write_split, "split block text differs", write_one + " | " + write_split);
    return 0;
}
