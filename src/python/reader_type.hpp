// _atomkit.Reader: the CPython type over the core's FrameReader.
#pragma once

#include "python/py_ref.hpp"

namespace atomkit {

// The type, made on first need and kept for the process.
[[nodiscard]] PyTypeObject* reader_type();

}  // namespace atomkit
