// A frame's rows parsed in ranges at once: a parser per range over its own rows of the
// frame's buffers, then the string columns joined and the first failure in row order kept.
#include "core/atom_lines/split_parse.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "core/atom_lines/token_grammar.hpp"
#include "core/common/thread_pool.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace atomkit {
namespace {

// The parsers of a frame's ranges and how each ended.
class RangeParsers {
public:
    explicit RangeParsers(std::size_t ranges) : parsers_(ranges), parsed_(ranges, 0), errors_(ranges) {}

    std::size_t size() const noexcept { return parsers_.size(); }

    // Runs parse(k) -> bool for every range k at once; parse makes range k's parser with
    // make(k). An exception is kept for its range, like a failure.
    template <class Parse>
    void run(Parse&& parse) {
        parallel_for(parsers_.size(), [&](std::size_t k) {
            try {
                parsed_[k] = parse(k) ? 1 : 0;
            } catch (...) {
                errors_[k] = std::current_exception();
            }
        });
    }

    std::optional<AtomParser>& parser(std::size_t k) noexcept { return parsers_[k]; }

    // The failure (or exception) row-by-row parsing meets first: the lowest range's, except
    // that a strict parse reports extra tokens only when no row fails otherwise; a range that
    // met both already reports the other. Nullopt when every range parsed.
    std::optional<ParseFailure> first_failure() {
        std::optional<std::size_t> extra;
        for (std::size_t k = 0; k < parsers_.size(); ++k) {
            if (errors_[k]) std::rethrow_exception(errors_[k]);
            if (parsed_[k] != 0) continue;
            if (!parsers_[k]->failure().extra_tokens) return std::move(*parsers_[k]).take_failure();
            if (!extra) extra = k;
        }
        if (extra) return std::move(*parsers_[*extra]).take_failure();
        return std::nullopt;
    }

    // The ranges' string columns joined in row order.
    std::vector<StringColumn> joined_strings() {
        std::vector<StringColumn> columns = std::move(parsers_[0]->columns().strs);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            for (std::size_t k = 1; k < parsers_.size(); ++k) columns[c].append(parsers_[k]->columns().strs[c]);
        }
        return columns;
    }

    // first_failure(), or `whole`'s columns with the ranges' string columns.
    std::expected<ParsedAtoms, ParseFailure> join(AtomParser&& whole) {
        if (auto failure = first_failure()) return std::unexpected(std::move(*failure));
        ParsedAtoms atoms = std::move(whole).take();
        atoms.strs = joined_strings();
        return atoms;
    }

private:
    std::vector<std::optional<AtomParser>> parsers_;
    std::vector<char> parsed_;  // one element per range, each written by its range alone
    std::vector<std::exception_ptr> errors_;
};

// How many of a block's first lines are measured to guess how far the block reaches.
constexpr std::size_t sampled_lines = 64;

}  // namespace

std::size_t count_line_feeds(const char* begin, std::size_t size) noexcept {
    std::size_t count = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Byte counters of 16 lanes, summed into the total before any can wrap.
    const __m128i feed = _mm_set1_epi8('\n');
    while (size - i >= 64) {
        __m128i lanes = _mm_setzero_si128();
        const std::size_t blocks = std::min<std::size_t>((size - i) / 64, 63);
        for (std::size_t b = 0; b < blocks; ++b, i += 64) {
            for (std::size_t j = 0; j < 64; j += 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + i + j));
                lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(bytes, feed));
            }
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; i < size; ++i) count += begin[i] == '\n' ? 1 : 0;
    return count;
}

std::expected<ParsedAtoms, ParseFailure> parse_lines_split(std::span<const std::string_view> lines,
                                                           std::span<const std::uint8_t> col_types,
                                                           std::size_t ranges) {
    const std::size_t natoms = lines.size();
    AtomParser whole(natoms, col_types, /*check_strings=*/false, natoms);
    if (whole.ncols() == 0) return std::move(whole).take();  // no line is read
    RangeParsers parsers(ranges);
    parsers.run([&](std::size_t k) {
        const std::size_t first = range_boundary(natoms, ranges, k);
        const std::size_t last = range_boundary(natoms, ranges, k + 1);
        AtomParser& parser = parsers.parser(k).emplace(whole.columns(), col_types, false, first, last);
        const NearestRounding nearest;
        constexpr std::size_t prefetch_distance = 8;
        for (std::size_t row = first; row < last; ++row) {
            if (row + prefetch_distance < last) __builtin_prefetch(lines[row + prefetch_distance].data());
            if (!parser.parse_line(lines[row])) return false;
        }
        return true;
    });
    return parsers.join(std::move(whole));
}

std::optional<BlockSplit> split_block(std::string_view data, std::size_t offset, std::size_t natoms,
                                     std::size_t ranges) {
    const char* const begin = data.data();
    const std::size_t size = data.size();
    // How far the block is guessed to reach, from its first lines' length.
    std::size_t at = offset;
    std::size_t sampled = 0;
    while (sampled < std::min(natoms, sampled_lines)) {
        const void* feed = at < size ? std::memchr(begin + at, '\n', size - at) : nullptr;
        if (feed == nullptr) return std::nullopt;
        at = static_cast<std::size_t>(static_cast<const char*>(feed) - begin) + 1;
        ++sampled;
    }
    std::size_t reach = size - offset;
    if (std::size_t product = 0; !__builtin_mul_overflow(at - offset, natoms, &product)) {
        reach = std::min(reach, product / sampled);
    }

    // Range k starts at the first line that starts at or after an even split of that reach.
    BlockSplit split{{offset}, {0}};
    std::vector<std::size_t>& starts = split.starts;
    for (std::size_t k = 1; k < ranges; ++k) {
        const std::size_t cut = offset + range_boundary(reach, ranges, k);
        if (cut <= starts.back()) continue;
        const void* feed = std::memchr(begin + cut - 1, '\n', size - (cut - 1));
        if (feed == nullptr) break;
        const std::size_t start = static_cast<std::size_t>(static_cast<const char*>(feed) - begin) + 1;
        if (start >= size) break;
        if (start > starts.back()) starts.push_back(start);
    }
    if (starts.size() < 2) return std::nullopt;

    // The line feeds between consecutive starts, the stretches cut into pieces so that there
    // are about as many pieces as ranges, all counted at once; range k's first row is the
    // count before its start.
    const std::size_t stretches = starts.size() - 1;
    const std::size_t pieces = (ranges + stretches - 1) / stretches;
    std::vector<std::size_t> counts(stretches * pieces);
    parallel_for(counts.size(), [&](std::size_t t) {
        const std::size_t stretch = t / pieces;
        const std::size_t length = starts[stretch + 1] - starts[stretch];
        const std::size_t from = starts[stretch] + range_boundary(length, pieces, t % pieces);
        const std::size_t to = starts[stretch] + range_boundary(length, pieces, t % pieces + 1);
        counts[t] = count_line_feeds(begin + from, to - from);
    });
    std::vector<std::size_t>& first_rows = split.first_rows;
    for (std::size_t stretch = 0; stretch < stretches; ++stretch) {
        std::size_t rows = first_rows.back();
        for (std::size_t piece = 0; piece < pieces; ++piece) rows += counts[stretch * pieces + piece];
        first_rows.push_back(rows);
    }
    // Ranges that would start past the block's last row are left out.
    while (starts.size() > 1 && first_rows.back() >= natoms) {
        starts.pop_back();
        first_rows.pop_back();
    }
    if (starts.size() < 2) return std::nullopt;
    first_rows.push_back(natoms);
    return split;
}

std::optional<std::expected<ParsedBlock, ParseFailure>> parse_block_split(
    std::string_view data, std::size_t offset, std::size_t natoms, std::span<const std::uint8_t> col_types,
    std::size_t ranges) {
    const auto split = split_block(data, offset, natoms, ranges);
    if (!split) return std::nullopt;
    AtomParser whole(natoms, col_types, /*check_strings=*/true, natoms);
    RangeParsers parsers(split->ranges());
    parsers.run([&](std::size_t k) {
        AtomParser& parser = parsers.parser(k).emplace(whole.columns(), col_types, true, split->first_rows[k],
                                                       split->first_rows[k + 1]);
        return parser.parse_block(data, split->starts[k]);
    });
    auto atoms = parsers.join(std::move(whole));
    if (!atoms) return std::unexpected(std::move(atoms.error()));
    return ParsedBlock{std::move(*atoms), parsers.parser(parsers.size() - 1)->block_end()};
}

std::optional<std::expected<std::vector<StringColumn>, ParseFailure>> parse_frame_split(
    ParsedAtoms& columns, std::string_view data, std::size_t offset, FramePart frame,
    std::span<const std::uint8_t> col_types, std::size_t ranges) {
    const auto split = split_block(data, offset, frame.rows, ranges);
    if (!split) return std::nullopt;
    RangeParsers parsers(split->ranges());
    parsers.run([&](std::size_t k) {
        const std::size_t first = frame.first + split->first_rows[k];
        const std::size_t rows = split->first_rows[k + 1] - split->first_rows[k];
        AtomParser& parser = parsers.parser(k).emplace(columns, col_types, true, first, first + rows);
        parser.set_strict(true);
        return parser.parse_frame_part(data, split->starts[k], rows, frame);
    });
    if (auto failure = parsers.first_failure()) return std::unexpected(std::move(*failure));
    return parsers.joined_strings();
}

}  // namespace atomkit
