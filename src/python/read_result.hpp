// Assembly of read_atom_lines_rs's result dict from the parser's columns.
#pragma once

#include "core/atom_lines/atom_lines.hpp"
#include "python/py_error.hpp"

namespace atomkit {

// {"floats": ndarray, "ints": ndarray, "bools": ndarray, "strs": [[str, ...], ...]}.
// The value buffers become the arrays' memory without a copy.
[[nodiscard]] Result<PyRef> build_read_result(ParsedAtoms parsed);

}  // namespace atomkit
