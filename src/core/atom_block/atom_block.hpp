// The atom block writer: every atom line of one frame as one UTF-8 text.
// Plain C++ over strided views; Python sees only the finished text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/common/matrix_view.hpp"

namespace atomkit {

struct AtomBlockInput {
    MatrixView<std::uint32_t> symbols;  // (natoms, max_str_len) code points, 0-terminated
    std::uint64_t sym_width = 0;        // in code points
    MatrixView<double> floats;
    MatrixView<std::int64_t> ints;
    MatrixView<std::uint8_t> bools;
    std::span<const std::uint8_t> col_types;
};

// Where the block is written: a growable byte buffer owned by the caller, so that the
// text can be built in the memory that will hold the final result.
class TextSink {
public:
    // A buffer of at least `capacity` bytes whose first `used` bytes keep what was written
    // so far. Throws std::bad_alloc when the memory cannot be had.
    virtual char* grow(std::size_t capacity, std::size_t used) = 0;

protected:
    ~TextSink() = default;
};

// A TextSink over a std::string.
class StringSink final : public TextSink {
public:
    char* grow(std::size_t capacity, std::size_t used) override;
    // The text, cut to its written length.
    std::string take(std::size_t length) &&;

private:
    std::string text_;
};

// The written block: its length in bytes, and whether every byte of it is ASCII, judged
// from what was actually written (the arrays may change under a running call).
struct BlockText {
    std::size_t length = 0;
    bool ascii = true;
};

// Writes every line into `sink`. Raises the internal failures "capacity overflow",
// "ndarray: index out of bounds" and "Formatting argument out of range"; exhausted memory
// throws std::bad_alloc. Every byte written lies inside the buffer the sink gave, whatever
// the arrays' memory does meanwhile.
BlockText build_atom_block(const AtomBlockInput& input, TextSink& sink);

// The same into a std::string.
std::string build_atom_block(const AtomBlockInput& input);

}  // namespace atomkit
