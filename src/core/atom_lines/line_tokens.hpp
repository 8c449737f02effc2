// Tokens of atom lines by bit masks: 64 bytes are classified at a time (separator, line
// feed), and token boundaries are found with bit scans instead of a branch per byte.
// Plain C++ over bytes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace atomkit {

inline constexpr std::size_t chunk_bytes = 64;

// Only these five bytes separate tokens. Vertical tab, other controls and every byte of a
// multi-byte character belong to tokens, so a token boundary is always an ASCII byte and a
// token of valid UTF-8 text is valid UTF-8 itself.
inline constexpr bool is_separator(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Bit k of `separators` is set when byte k of the 64 at p is a separator; of `newlines` when
// it is a line feed (which is also a separator).
struct ChunkMasks {
    std::uint64_t separators;
    std::uint64_t newlines;
};

inline ChunkMasks classify_chunk_portable(const char* p) noexcept {
#if defined(__SSE2__)
    std::uint64_t separators = 0;
    std::uint64_t newlines = 0;
    for (unsigned k = 0; k < 4; ++k) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i space = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '));
        // \t \n \f \r are 9, 10, 12, 13: within 9..13 and not the vertical tab 11.
        const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(9));
        const __m128i low_range = _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(4)), offset);
        const __m128i vertical_tab = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(11));
        const __m128i separator = _mm_or_si128(space, _mm_andnot_si128(vertical_tab, low_range));
        const __m128i newline = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
        separators |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(separator))} << (16 * k);
        newlines |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(newline))} << (16 * k);
    }
    return {separators, newlines};
#else
    ChunkMasks masks{0, 0};
    for (unsigned k = 0; k < chunk_bytes; ++k) {
        const auto c = static_cast<unsigned char>(p[k]);
        masks.separators |= std::uint64_t{is_separator(c)} << k;
        masks.newlines |= std::uint64_t{c == '\n'} << k;
    }
    return masks;
#endif
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define ATOMKIT_CHUNK_AVX512 1
// The same with one 64-byte register and mask compares: a fraction of the instructions.
__attribute__((target("avx512f,avx512bw"))) inline ChunkMasks classify_chunk_avx512(const char* p) noexcept {
    const __m512i bytes = _mm512_loadu_si512(p);
    const __mmask64 newlines = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'));
    const __mmask64 others = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' ')) |
                             _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\t')) |
                             _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\f')) |
                             _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\r'));
    return {static_cast<std::uint64_t>(others | newlines), static_cast<std::uint64_t>(newlines)};
}

// Two 32-byte registers, for CPUs without AVX-512: \t \n \f \r found as 9..13 less the
// vertical tab, as the portable classifier finds them.
__attribute__((target("avx2"))) inline ChunkMasks classify_chunk_avx2(const char* p) noexcept {
    std::uint64_t separators = 0;
    std::uint64_t newlines = 0;
    for (unsigned k = 0; k < 2; ++k) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * k));
        const __m256i offset = _mm256_sub_epi8(bytes, _mm256_set1_epi8(9));
        const __m256i low_range = _mm256_cmpeq_epi8(_mm256_min_epu8(offset, _mm256_set1_epi8(4)), offset);
        const __m256i vertical_tab = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(11));
        const __m256i separator = _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' ')),
                                                  _mm256_andnot_si256(vertical_tab, low_range));
        const __m256i newline = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\n'));
        separators |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(separator))} << (32 * k);
        newlines |= std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(newline))} << (32 * k);
    }
    return {separators, newlines};
}
#endif

using ChunkClassifier = ChunkMasks (*)(const char*) noexcept;
// `count` chunks from p on, into out[0..count): one call for many chunks, each classifier
// inlined into its own loop.
using ChunkRunClassifier = void (*)(const char* p, std::size_t count, ChunkMasks* out) noexcept;

inline void classify_chunks_portable(const char* p, std::size_t count, ChunkMasks* out) noexcept {
    for (std::size_t k = 0; k < count; ++k) out[k] = classify_chunk_portable(p + chunk_bytes * k);
}

#if defined(ATOMKIT_CHUNK_AVX512)
__attribute__((target("avx512f,avx512bw"))) inline void classify_chunks_avx512(const char* p, std::size_t count,
                                                                              ChunkMasks* out) noexcept {
    for (std::size_t k = 0; k < count; ++k) out[k] = classify_chunk_avx512(p + chunk_bytes * k);
}

__attribute__((target("avx2"))) inline void classify_chunks_avx2(const char* p, std::size_t count,
                                                                ChunkMasks* out) noexcept {
    for (std::size_t k = 0; k < count; ++k) out[k] = classify_chunk_avx2(p + chunk_bytes * k);
}
#endif

// The classifiers for this CPU, chosen once: the build stays portable x86-64.
struct ChunkClassifiers {
    ChunkClassifier one;
    ChunkRunClassifier run;
};

inline const ChunkClassifiers& chunk_classifiers() noexcept {
    static const ChunkClassifiers chosen = []() -> ChunkClassifiers {
#if defined(ATOMKIT_CHUNK_AVX512)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
            return {&classify_chunk_avx512, &classify_chunks_avx512};
        }
        if (__builtin_cpu_supports("avx2")) return {&classify_chunk_avx2, &classify_chunks_avx2};
#endif
        return {&classify_chunk_portable, &classify_chunks_portable};
    }();
    return chosen;
}

inline ChunkClassifier chunk_classifier() noexcept { return chunk_classifiers().one; }

// Walks [begin, end) chunk by chunk. A chunk that would reach past `end` is read as the last
// 64 bytes of the range (or, in a range shorter than that, copied into a block padded with
// spaces), so no byte outside the range is ever read; past the end every byte counts as a
// separator, and with `end_is_newline` the byte at `end` as a line feed.
class ChunkWalker {
public:
    ChunkWalker(const char* begin, const char* end, bool end_is_newline) noexcept
        : begin_(begin), size_(static_cast<std::size_t>(end - begin)), end_is_newline_(end_is_newline),
          classify_(chunk_classifier()) {
        load();
    }

    // Offset of the current chunk's first byte from `begin`.
    std::size_t base() const noexcept { return base_; }
    const char* begin() const noexcept { return begin_; }
    std::size_t size() const noexcept { return size_; }
    const ChunkMasks& masks() const noexcept { return masks_; }
    // False when this chunk already holds the end of the range (and, past it, padding).
    bool has_next() const noexcept { return size_ - base_ >= chunk_bytes; }
    void next() noexcept {
        base_ += chunk_bytes;
        load();
    }

private:
    void load() noexcept {
        const std::size_t left = size_ - base_;
        if (left >= chunk_bytes) {
            masks_ = classify_(begin_ + base_);
            return;
        }
        if (left == 0) {  // the chunk just past a range that filled its last one
            masks_ = {~std::uint64_t{0}, end_is_newline_ ? std::uint64_t{1} : 0};
            return;
        }
        if (size_ >= chunk_bytes) {
            // The last 64 bytes of the range, shifted so that bit 0 is this chunk's first
            // byte; what lies past the end becomes separators (and the line feed) by mask.
            const ChunkMasks tail = classify_(begin_ + size_ - chunk_bytes);
            const auto shift = static_cast<unsigned>(chunk_bytes - left);
            const std::uint64_t past_end = ~std::uint64_t{0} << left;  // left < 64
            masks_.separators = (tail.separators >> shift) | past_end;
            masks_.newlines = (tail.newlines >> shift) | (end_is_newline_ ? std::uint64_t{1} << left : 0);
            return;
        }
        alignas(16) char padded[chunk_bytes];
        std::memset(padded, ' ', chunk_bytes);
        if (left != 0) std::memcpy(padded, begin_ + base_, left);
        if (end_is_newline_) padded[left] = '\n';
        masks_ = classify_(padded);
    }

    const char* begin_;
    std::size_t size_;
    std::size_t base_ = 0;
    bool end_is_newline_;
    ChunkClassifier classify_;
    ChunkMasks masks_{};
};

// The chunk masks of a block [begin, end), each chunk classified once, a run of chunks at a
// time as the lines of the block reach them; past the end the bytes read as a line feed and
// then separators, as ChunkWalker reads them with `end_is_newline`. Lines ask for chunks in
// order (a chunk and the one after it), so a ring of two runs holds every chunk still asked
// for. A run is short because a frame of a table stops in the middle of its bytes, and what
// lies beyond its last line is classified for nothing.
class BlockChunks {
public:
    BlockChunks(const char* begin, const char* end, ChunkRunClassifier classify) noexcept
        : begin_(begin), size_(static_cast<std::size_t>(end - begin)), classify_(classify) {}

    const char* begin() const noexcept { return begin_; }
    std::size_t size() const noexcept { return size_; }

    // Chunk i's masks (byte 64 i on); valid until a chunk past i + 8 is asked for.
    const ChunkMasks& at(std::size_t i) noexcept {
        if (i >= classified_) [[unlikely]] classify_through(i);
        return ring_[i % ring_chunks];
    }

private:
    static constexpr std::size_t run_chunks = 8;
    static constexpr std::size_t ring_chunks = 2 * run_chunks;
    static constexpr std::size_t prefetch_chunks = 32;  // 2 KiB

    [[gnu::noinline]] void classify_through(std::size_t i) noexcept {
        const std::size_t whole = size_ / chunk_bytes;  // chunks that lie inside the block
        while (classified_ <= i) {
            ChunkMasks* const slot = &ring_[classified_ % ring_chunks];
            if (classified_ < whole) {
                const std::size_t count = std::min({run_chunks, whole - classified_,
                                                    ring_chunks - classified_ % ring_chunks});
                // The bytes a few runs ahead are asked of memory now: a large block comes from
                // memory, whose latency the parse of the runs between then hides.
                const std::size_t ahead = std::min(whole, classified_ + prefetch_chunks + run_chunks);
                for (std::size_t k = classified_ + prefetch_chunks; k < ahead; ++k) {
                    __builtin_prefetch(begin_ + chunk_bytes * k);
                }
                classify_(begin_ + chunk_bytes * classified_, count, slot);
                classified_ += count;
                continue;
            }
            if (classified_ == whole) {
                const std::size_t left = size_ - chunk_bytes * whole;
                alignas(16) char padded[chunk_bytes];
                std::memset(padded, ' ', chunk_bytes);
                std::memcpy(padded, begin_ + chunk_bytes * whole, left);
                padded[left] = '\n';  // left < 64
                classify_(padded, 1, slot);
            } else {
                *slot = {~std::uint64_t{0}, 0};
            }
            ++classified_;
        }
    }

    const char* begin_;
    std::size_t size_;
    ChunkRunClassifier classify_;
    std::size_t classified_ = 0;  // chunks [0, classified_) are in the ring (the last 16 of them)
    ChunkMasks ring_[ring_chunks];
};

// One line of a block from its first byte: the block's masks shifted so that bit 0 of the
// first window is the line's first byte. Lines of one layout then cross the 64-byte steps at
// the same token, which keeps the scanner's branches predictable, while each chunk is still
// classified once.
class BlockLineWalker {
public:
    BlockLineWalker(BlockChunks& chunks, std::size_t start) noexcept
        : chunks_(chunks), start_(start), chunk_(start / chunk_bytes),
          shift_(static_cast<unsigned>(start % chunk_bytes)) {
        load();
    }

    std::size_t base() const noexcept { return base_; }
    const char* begin() const noexcept { return chunks_.begin() + start_; }
    std::size_t size() const noexcept { return chunks_.size() - start_; }
    const ChunkMasks& masks() const noexcept { return masks_; }
    // The end of the block reads as a line feed, which ends the line before the windows
    // could run out.
    bool has_next() const noexcept { return true; }
    void next() noexcept {
        base_ += chunk_bytes;
        ++chunk_;
        load();
    }

private:
    void load() noexcept {
        const ChunkMasks& high = chunks_.at(chunk_ + 1);
        const ChunkMasks& low = chunks_.at(chunk_);
        // (x << 1) << (63 - shift) is x << (64 - shift) without the undefined shift by 64.
        masks_.separators = (low.separators >> shift_) | ((high.separators << 1) << (63 - shift_));
        masks_.newlines = (low.newlines >> shift_) | ((high.newlines << 1) << (63 - shift_));
    }

    BlockChunks& chunks_;
    std::size_t start_;
    std::size_t chunk_;
    unsigned shift_;
    std::size_t base_ = 0;
    ChunkMasks masks_{};
};

// The tokens of a range, left to right. Each chunk's separator mask gives the bytes where
// separators start or stop, a bit at each token's first byte and at the separator after its
// last: tokens are taken by popping the two lowest bits, a token that runs into the next
// chunk ending at that chunk's first bit.
// With Block, a line of a block is read as far as its line feed (the end of the block
// counting as one): next() reports no token left at it, and end_line() moves past it.
// Without, the range is one line and line feeds only separate.
template <bool Block>
class TokenScanner {
public:
    TokenScanner(const char* begin, const char* end) noexcept
        requires(!Block)
        : walker_(begin, end, false) {
        take_chunk(true);
    }
    // The line that starts `start` bytes into the block.
    TokenScanner(BlockChunks& chunks, std::size_t start) noexcept
        requires Block
        : walker_(chunks, start) {
        take_chunk(true);
    }

    bool next(std::string_view& token) noexcept {
        while (changes_ == 0) {
            if (line_end_ != 0 || !walker_.has_next()) return false;
            advance();
        }
        const std::size_t start = walker_.base() + static_cast<unsigned>(std::countr_zero(changes_));
        changes_ &= changes_ - 1;
        // Past the end of the range every byte is a separator, and a line feed ends the token
        // before it: every token ends.
        while (changes_ == 0) advance();
        const std::size_t end = walker_.base() + static_cast<unsigned>(std::countr_zero(changes_));
        changes_ &= changes_ - 1;
        token = std::string_view(walker_.begin() + start, end - start);
        return true;
    }

    // Moves past the line feed that ends the line (or the end of the range).
    void end_line() noexcept {
        while (line_end_ == 0 && walker_.has_next()) advance();
    }

    // Just past the line feed found by end_line(), at most the size of the range.
    std::size_t offset() const noexcept { return line_end_ < walker_.size() ? line_end_ : walker_.size(); }

private:
    void advance() noexcept {
        walker_.next();
        take_chunk(false);
    }

    void take_chunk(bool first) noexcept {
        const ChunkMasks& masks = walker_.masks();
        // The byte before the range counts as a separator.
        const std::uint64_t after_separator = (masks.separators << 1) | (first ? 1 : carry_);
        carry_ = masks.separators >> 63;
        changes_ = masks.separators ^ after_separator;
        if constexpr (Block) {
            if (masks.newlines != 0 && line_end_ == 0) {
                // Tokens after the line feed belong to the next line, which gets a scanner
                // of its own; the one before it ends at it (all bits kept for a feed at 63).
                const auto at = static_cast<unsigned>(std::countr_zero(masks.newlines));
                changes_ &= (std::uint64_t{2} << at) - 1;
                line_end_ = walker_.base() + at + 1;
            }
        }
    }

    std::conditional_t<Block, BlockLineWalker, ChunkWalker> walker_;
    std::uint64_t changes_ = 0;
    std::uint64_t carry_ = 0;
    std::size_t line_end_ = 0;  // just past the line feed once it is found (never 0)
};

}  // namespace atomkit
