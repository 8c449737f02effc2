// The words of a refused frame: a core Refusal made the "line N: ..." message users see, with
// the texts it quotes written by Python's repr().
#pragma once

#include <cstddef>

#include "core/reader/frame_reader.hpp"
#include "python/py_ref.hpp"

namespace atomkit {

// The message (a str, without the file's name) of `refusal`; empty for a file that changed,
// which the caller words. `digits_limit`: the limit on an integer's digits the frames were
// read under.
[[nodiscard]] PyRef refusal_message(const reader::Refusal& refusal, std::size_t digits_limit);

// What refused the frame, in its own words: the atom parser's "row N: ..." message, or the
// comment line's parser, Properties or int() message; None for any other refusal.
[[nodiscard]] PyRef refusal_cause(const reader::Refusal& refusal, std::size_t digits_limit);

}  // namespace atomkit
