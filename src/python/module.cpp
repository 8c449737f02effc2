// The module definition and PyInit__atomkit: one module object per process, refused to
// every interpreter but the first; its functions, its types and __all__.
#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "python/boundary.hpp"
#include "python/entries.hpp"
#include "python/process_cell.hpp"
#include "python/py_objects.hpp"
#include "python/reader_results.hpp"
#include "python/reader_arguments.hpp"
#include "python/reader_type.hpp"

namespace atomkit {
namespace {

constexpr const char* write_atoms_doc =
    "write_atoms_rs(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types)\n"
    "--\n"
    "\n"
    "Build the complete extxyz atom block (all `natoms` lines) as a Python str.\n"
    "\n"
    "Replaces the Python loop `for i in range(natoms): fileobj.write(fmt % tuple(data[i]))`.\n"
    "\n"
    "`sym_codepoints` is a (natoms, max_str_len) uint32 array of UTF-32 LE codepoints,\n"
    "obtained from `symbols_array.view(np.uint32).reshape(natoms, -1)`.  Native decodes\n"
    "these in-place without creating Python string objects, avoiding O(N) Python overhead.\n"
    "\n"
    "Column layout is described by `col_types` (list of ints: ord('s'), ord('f'), etc.):\n"
    "  ord('s') \u2192 next symbol from sym_codepoints (left-justified to `sym_width`)\n"
    "  ord('f') \u2192 next column from `float_mat`  (%16.8f)\n"
    "  ord('i') \u2192 next column from `int_mat`    (%8d)\n"
    "  ord('b') \u2192 next column from `bool_mat`   (' %.1s' \u2192 \"  T\" / \"  F\")\n"
    "\n"
    "`float_mat`, `int_mat`, `bool_mat` may have 0 columns.";

constexpr const char* read_atom_lines_doc =
    "read_atom_lines_rs(lines, col_types)\n"
    "--\n"
    "\n"
    "Parse `natoms` atom lines, returning a Python dict with keys:\n"
    "  'floats' \u2192 ndarray shape (natoms, n_float_cols), dtype float64\n"
    "  'ints'   \u2192 ndarray shape (natoms, n_int_cols),   dtype int64\n"
    "  'bools'  \u2192 ndarray shape (natoms, n_bool_cols),  dtype uint8 (0/1)\n"
    "  'strs'   \u2192 Python list of lists of str, one sub-list per string column\n"
    "\n"
    "`col_types` is a bytes/list of ints, one per token per line:\n"
    "  b'f'=102 \u2192 float, b'i'=105 \u2192 int, b's'=115 \u2192 string, b'b'=98 \u2192 bool\n"
    "\n"
    "Raises `ValueError` if any line cannot be parsed according to `col_types`.";

constexpr const char* read_atom_block_doc =
    "read_atom_block_rs(data, offset, natoms, col_types)\n"
    "--\n"
    "\n"
    "Parse `natoms` atom lines straight from bytes, returning `(columns, end)`.\n"
    "\n"
    "`data` is a C-contiguous bytes-like object (bytes, bytearray, memoryview, mmap); the\n"
    "lines start at byte `offset` and end in b'\\n' or b'\\r\\n' (the last may end at the end\n"
    "of `data`). `columns` is the dict that `read_atom_lines_rs` returns for the same lines;\n"
    "`end` is the offset just past the last line read, where the next frame starts.\n"
    "\n"
    "`col_types` as for `read_atom_lines_rs`.\n"
    "\n"
    "Raises `ValueError` for a line that cannot be parsed, data that ends before `natoms`\n"
    "lines, an offset outside the data, or a string token that is not valid UTF-8. The\n"
    "interpreter lock is released while a large block is parsed.";

constexpr const char* parse_comment_doc =
    "parse_comment_rs(line)\n"
    "--\n"
    "\n"
    "Parse an extxyz comment line into `(properties, lattice, pbc, info, deferred)`.\n"
    "\n"
    "`properties` is the Properties text (quotes and escapes removed) or None, `lattice` a\n"
    "(3, 3) float64 array or None, `pbc` a tuple of three bools or None; `info` holds the\n"
    "other items in line order: bool, int, float or str values, or bool, int64, float64 or str\n"
    "arrays, 1-D or (a nested list) 2-D (nine numbers under `stress` or `virial` as a (3, 3)\n"
    "float64 array). The keys Lattice, Properties and pbc are found in any letter case; a line\n"
    "without '=' is one `comment` item. Every value is typed, so `deferred` is always None (kept\n"
    "for callers that unpack five). Returns None instead of a tuple for a str that is not valid\n"
    "UTF-8 (lone surrogates).\n"
    "\n"
    "Raises `ValueError` for a line that cannot be read.";

constexpr const char* format_floats_doc =
    "format_floats_rs(values, separator)\n"
    "--\n"
    "\n"
    "Write every float of a 2-D float64 array as `repr()` does, row by row, joined by `separator`.\n"
    "\n"
    "Returns a str: `separator.join(map(repr, values.ravel().tolist()))`.";

constexpr const char* write_atoms_bytes_doc =
    "write_atoms_bytes_rs(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types)\n"
    "--\n"
    "\n"
    "Build the same atom block as `write_atoms_rs`, as UTF-8 bytes.\n"
    "\n"
    "Takes the same arguments and raises the same errors as `write_atoms_rs`; the result is\n"
    "byte for byte `write_atoms_rs(...).encode()`, made without a str in between, for\n"
    "writing to a binary file.";

constexpr const char* set_threads_doc =
    "set_threads(n)\n"
    "--\n"
    "\n"
    "Use up to `n` threads (the calling thread included) for one large frame.\n"
    "\n"
    "Frames of many atoms are split into ranges of rows written or parsed at once by the\n"
    "module's threads; `n` = 1 turns that off. The setting is the process's: it starts as\n"
    "the environment variable ATOMKIT_NUM_THREADS (read when first needed), or else the CPUs\n"
    "this process may run on. Raises `ValueError` unless 1 <= n <= 1024, `TypeError` for a\n"
    "value that is not an integer.";

constexpr const char* get_threads_doc =
    "get_threads()\n"
    "--\n"
    "\n"
    "The number of threads one large frame may use (see `set_threads`).";

constexpr const char* set_parallel_threshold_doc =
    "_set_parallel_threshold(atoms)\n"
    "--\n"
    "\n"
    "For tests: split frames of at least `atoms` atoms across the threads; returns the\n"
    "previous threshold.";

constexpr const char* set_reader_tuning_doc =
    "_set_reader_tuning(wave_bytes, parts_from, window_bytes)\n"
    "--\n"
    "\n"
    "For tests: readers made from now on read `wave_bytes` of text a thread between two looks at\n"
    "the signals, scan a file of `parts_from` bytes or more in parts on several threads, and read\n"
    "`window_bytes` of a file at once (a frame of more than four windows a window at a time);\n"
    "returns the previous three.";

constexpr const char* write_frames_doc =
    "write_frames_rs(block, frames, items)\n"
    "--\n"
    "\n"
    "Write a batch of frames whole (count, comment and atom lines) as UTF-8 bytes.\n"
    "\n"
    "`block` (bytes) holds the batch's atom lines; `frames` is an (n, 3) int64 array of each\n"
    "frame's atom count and the start and end of its lines in `block`. `items` lists the\n"
    "comment line's items in order, each a column of n frames, written between single spaces:\n"
    "  (0, texts)                           a list of n str, None where a frame lacks the item;\n"
    "  (1, prefix, values, suffix, present) prefix, the frame's row of an (n, w) float64 array\n"
    "                                       as repr() writes each float, between spaces, suffix;\n"
    "  (2, prefix, values, suffix, present) the same with an (n, w) int64 array;\n"
    "  (3, texts, index)                    texts[index[k, 0]], `index` an (n, 1) int64 array.\n"
    "`present` is None (every frame has the item) or an (n, 1) uint8 array, 0 where a frame\n"
    "lacks it. Raises `ValueError` for columns of another length, an index past its texts or\n"
    "lines outside `block`; every argument must be of exactly the type named.";

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyCFunction function(_PyCFunctionFastWithKeywords entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// CPython keeps pointers into these records for the rest of the process.
PyMethodDef module_functions[] = {
    {"write_atoms_rs", function(write_atoms_entry), fastcall, write_atoms_doc},
    {"read_atom_lines_rs", function(read_atom_lines_entry), fastcall, read_atom_lines_doc},
    {"read_atom_block_rs", function(read_atom_block_entry), fastcall, read_atom_block_doc},
    {"parse_comment_rs", function(parse_comment_entry), fastcall, parse_comment_doc},
    {"format_floats_rs", function(format_floats_entry), fastcall, format_floats_doc},
    {"write_atoms_bytes_rs", function(write_atoms_bytes_entry), fastcall, write_atoms_bytes_doc},
    {"set_threads", function(set_threads_entry), fastcall, set_threads_doc},
    {"get_threads", function(get_threads_entry), fastcall, get_threads_doc},
    {"write_frames_rs", function(write_frames_entry), fastcall, write_frames_doc},
    {"_set_parallel_threshold", function(set_parallel_threshold_entry), fastcall, set_parallel_threshold_doc},
    {"_set_reader_tuning", function(set_reader_tuning_entry), fastcall, set_reader_tuning_doc},
    {nullptr, nullptr, 0, nullptr},
};

// The public names: the functions but the private ones, then the types.
constexpr std::array<std::string_view, 16> public_names = {
    "write_atoms_rs", "read_atom_lines_rs", "read_atom_block_rs", "parse_comment_rs", "format_floats_rs",
    "write_atoms_bytes_rs", "set_threads", "get_threads", "write_frames_rs", "Reader", "ScanResult", "Run",
    "InfoColumn", "AtomTable", "Layout", "Refusal",
};

// m_doc is "" so that __doc__ is an empty str.
PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_atomkit",
    .m_doc = "",
    .m_size = 0,
    .m_methods = module_functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
ProcessCell<PyRef> module_cell;

[[nodiscard]] Result<void> add_object(PyObject* module, std::string_view name, PyObject* object) {
    const std::string key(name);
    if (PyModule_AddObjectRef(module, key.c_str(), object) < 0) return fetched_error();
    return {};
}

[[nodiscard]] Result<void> initialize(PyObject* module) {
    ATOMKIT_TRY(add_object(module, "Reader", reinterpret_cast<PyObject*>(reader_type())));
    for (const NamedType& type : result_types()) {
        ATOMKIT_TRY(add_object(module, type.name, reinterpret_cast<PyObject*>(type.type)));
    }
    PyRef all = checked(PyList_New(static_cast<Py_ssize_t>(public_names.size())));
    for (std::size_t i = 0; i < public_names.size(); ++i) {
        PyObject* name = new_str(public_names[i]).release();
        PyUnicode_InternInPlace(&name);
        PyList_SET_ITEM(all.get(), static_cast<Py_ssize_t>(i), name);
    }
    return add_object(module, "__all__", all.get());
}

[[nodiscard]] Result<PyRef> create_module() {
    std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return fetched_error();
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, interpreter) &&
        expected != interpreter) {
        return std::unexpected(PyError::pending(
            PyExc_ImportError,
            "_atomkit does not yet support subinterpreters, see "
            "https://docs.python.org/3/howto/isolating-extensions.html"));
    }
    if (const PyRef* existing = module_cell.get()) return existing->clone();

    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) return fetched_error();
    ATOMKIT_TRY(initialize(module.get()));
    auto stored = module_cell.get_or_try_init(
        [&module]() -> std::expected<PyRef, bool> { return std::move(module); });
    return (*stored)->clone();
}

}  // namespace
}  // namespace atomkit

PyMODINIT_FUNC PyInit__atomkit(void) {
    return atomkit::run_at_boundary([] { return atomkit::create_module(); });
}
