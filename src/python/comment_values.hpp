// Typed comment values as Python objects (numbers, flags, strs, ints beyond int64 and NumPy
// arrays), and the digit limit Python's int() holds integers to.
#pragma once

#include <cstddef>

#include "core/comment_line/comment_line.hpp"
#include "python/py_error.hpp"
#include "python/py_ref.hpp"

namespace atomkit {

// The Python value reading the comment line in Python gives for `value` (any kind but deferred).
[[nodiscard]] PyRef comment_value_object(const CommentValue& value);

// sys.get_int_max_str_digits(), 0 for none. Calls Python: only while Python code may still run.
[[nodiscard]] Result<std::size_t> int_digits_limit();

}  // namespace atomkit
