// _atomkit.Reader: the CPython type over the core's FrameReader, and the private entry that
// tunes the readers made after it.
#pragma once

#include "python/py_ref.hpp"

namespace atomkit {

// The type, made on first need and kept for the process.
[[nodiscard]] PyTypeObject* reader_type();

// _set_reader_tuning(wave_bytes, parts_from), for tests: the text a thread reads between two
// looks at the signals, and the size from which a file is scanned in parts on several threads,
// of the readers made from then on. Returns the previous pair.
PyObject* set_reader_tuning_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace atomkit
