// The entry routines that CPython calls (fastcall with keywords).
#pragma once

#include "python/py_ref.hpp"

namespace atomkit {

PyObject* write_atoms_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames);
// The block as bytes, with write_atoms_rs's arguments and errors.
PyObject* write_atoms_bytes_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                  PyObject* kwnames);
PyObject* read_atom_lines_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames);
PyObject* read_atom_block_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames);
// The module's threads: set_threads(n), get_threads(), and the private
// _set_parallel_threshold(atoms) of tests (returns the previous threshold).
PyObject* set_threads_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* get_threads_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* set_parallel_threshold_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                       PyObject* kwnames);
// python/comment_entries.cpp
PyObject* parse_comment_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
PyObject* format_floats_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
// python/frame_text_entries.cpp
PyObject* write_frames_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace atomkit
