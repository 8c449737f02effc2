// The entry routine of the table reader: read_table_rs, a file's bytes and its frames as the
// scan found them in, the frames' columns out (or the first frame it cannot take, and why).
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "core/common/thread_pool.hpp"
#include "core/frames/frame_table.hpp"
#include "python/array_argument.hpp"
#include "python/binding.hpp"
#include "python/borrow_registry.hpp"
#include "python/boundary.hpp"
#include "python/comment_values.hpp"
#include "python/entries.hpp"
#include "python/held_buffer.hpp"
#include "python/numpy_api.hpp"
#include "python/py_objects.hpp"
#include "python/result_array.hpp"

namespace atomkit {
namespace {

using frames::FrameTableColumns;
using frames::InfoColumn;

constexpr std::array<std::string_view, 5> table_parameters = {"data", "frames", "col_types", "threads", "strict"};
enum TableParameter : std::size_t { table_data, table_frames, table_col_types, table_threads, table_strict };
constexpr FunctionSpec table_spec{"read_table_rs", table_parameters};

// A tuple of bytes: each layout's column codes.
[[nodiscard]] Result<std::vector<std::string>> extract_codes(PyObject* object) {
    if (!PyTuple_CheckExact(object)) return std::unexpected(conversion_error(object, "PyTuple"));
    std::vector<std::string> codes;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
        PyObject* item = PyTuple_GET_ITEM(object, i);
        if (!PyBytes_CheckExact(item)) return std::unexpected(conversion_error(item, "PyBytes"));
        codes.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    return codes;
}

// The data: bytes-like, or a file's descriptor (an exact int) whose frames the threads read
// themselves.
[[nodiscard]] Result<void> check_data(PyObject* object) {
    if (PyLong_CheckExact(object)) return {};
    return HeldBuffer::check(object);
}

[[nodiscard]] Result<int> extract_fd(PyObject* object) {
    const long fd = PyLong_AsLong(object);
    if (fd == -1 && PyErr_Occurred() != nullptr) return fetched_error();
    if (fd < 0 || fd > std::numeric_limits<int>::max()) return std::unexpected(value_error("data is not a descriptor"));
    return static_cast<int>(fd);
}

// The frames' rows (offset, atom count, line number, layout, and from a file the offset the
// frame ends at), copied and checked against the data and the layouts: the core may then
// trust them to lie within the data, or each frame's to end where it starts at the earliest.
struct FrameRows {
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> natoms;
    std::vector<std::int32_t> layouts;
    std::vector<std::int64_t> ends;
    // From a file: the first frame whose atoms (with those before it) the file, as it is now,
    // cannot hold; it and those after it are not read, and their buffers never made.
    std::optional<std::size_t> unread;
};

[[nodiscard]] Result<FrameRows> frame_rows(const MatrixView<std::int64_t>& rows, std::size_t size, bool from_file,
                                           std::size_t layouts) {
    if (rows.cols() != (from_file ? 5 : 4)) {
        return std::unexpected(value_error(from_file ? "frames of a file must have 5 columns: offset, natoms, lineno, layout, end"
                                                     : "frames must have 4 columns: offset, natoms, lineno, layout"));
    }
    FrameRows out;
    std::uint64_t atoms = 0;
    out.offsets.reserve(rows.rows());
    out.natoms.reserve(rows.rows());
    out.layouts.reserve(rows.rows());
    if (from_file) out.ends.reserve(rows.rows());
    for (std::size_t f = 0; f < rows.rows(); ++f) {
        const std::int64_t offset = rows.at(f, 0);
        const std::int64_t natoms = rows.at(f, 1);
        const std::int64_t layout = rows.at(f, 3);
        const std::int64_t end = from_file ? rows.at(f, 4) : offset;
        if (offset < 0 || end < offset || (!from_file && static_cast<std::uint64_t>(offset) > size) || natoms < 0 ||
            layout < 0 || static_cast<std::uint64_t>(layout) >= layouts) {
            return std::unexpected(value_error("frame " + std::to_string(f) + " does not fit the data and layouts"));
        }
        // Every atom line takes a byte at least (its line feed; the file's last line may have
        // none): more atoms than that cannot be there, and no buffer is made for them. A file
        // may have shrunk since its frames were found: that is the frame's refusal.
        atoms += static_cast<std::uint64_t>(natoms);
        if (atoms > size + rows.rows()) {
            if (from_file) {
                out.unread = f;
                break;
            }
            return std::unexpected(value_error("frame " + std::to_string(f) + " counts more atoms than the data holds"));
        }
        out.offsets.push_back(offset);
        out.natoms.push_back(natoms);
        out.layouts.push_back(static_cast<std::int32_t>(layout));
        if (from_file) out.ends.push_back(end);
    }
    return out;
}

// The size of the file open as `fd` now; nullopt when it cannot be asked (a closed descriptor).
std::optional<std::size_t> file_size(int fd) noexcept {
    struct stat status {};
    if (fstat(fd, &status) != 0 || status.st_size < 0) return std::nullopt;
    return static_cast<std::size_t>(status.st_size);
}

PyRef bool_array(std::initializer_list<npy_intp> shape, const std::vector<std::uint8_t>& flags) {
    return copied_ndarray(NPY_BOOL, shape, flags.data(), flags.size());
}

PyRef str_list(const std::vector<std::string>& texts) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(texts[i]).release());
    }
    return list;
}

// An info column's values: an array of one row per frame, or for texts (distinct texts,
// int32 index per frame, -1 where absent).
PyRef info_values(const InfoColumn& column, std::size_t n) {
    const auto frames = static_cast<npy_intp>(n);
    const auto width = static_cast<npy_intp>(column.width);
    const bool array = column.kind == CommentValueKind::float_array || column.kind == CommentValueKind::int_array ||
                       column.kind == CommentValueKind::bool_array;
    // Scalars one per frame, arrays a row of `width` per frame, 3x3 values a matrix.
    auto shaped = [&](int type_number, const void* values, std::size_t bytes) {
        if (column.square) return copied_ndarray(type_number, {frames, 3, 3}, values, bytes);
        if (array) return copied_ndarray(type_number, {frames, width}, values, bytes);
        return copied_ndarray(type_number, {frames}, values, bytes);
    };
    switch (column.kind) {
        case CommentValueKind::real:
        case CommentValueKind::float_array:
            return shaped(NPY_FLOAT64, column.reals.data(), column.reals.size() * sizeof(double));
        case CommentValueKind::integer:
        case CommentValueKind::int_array:
            return shaped(NPY_INT64, column.ints.data(), column.ints.size() * sizeof(std::int64_t));
        case CommentValueKind::boolean:
        case CommentValueKind::bool_array: {
            const std::vector<std::uint8_t> flags(column.ints.begin(), column.ints.end());
            return shaped(NPY_BOOL, flags.data(), flags.size());
        }
        case CommentValueKind::deferred:
            return PyRef::borrow(Py_None);  // every value of the key is loose
        case CommentValueKind::text: {
            PyRef texts = str_list(column.texts);
            PyRef index = copied_ndarray(NPY_INT32, {frames}, column.text_index.data(), n * sizeof(std::int32_t));
            return checked(PyTuple_Pack(2, texts.get(), index.get()));
        }
        default:
            fail("an info column of a kind the table does not keep");
    }
}

// [(key, present, values, integers), ...] in order of first appearance; integers is None, or
// for a key of integers and reals (the integers, which frames had one).
PyRef info_list(const FrameTableColumns& table, std::size_t n) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(table.info.size())));
    for (std::size_t k = 0; k < table.info.size(); ++k) {
        const InfoColumn& column = table.info[k];
        PyRef key = new_str(column.key);
        PyRef present = bool_array({static_cast<npy_intp>(n)}, column.present);
        PyRef values = info_values(column, n);
        PyRef integers = PyRef::borrow(Py_None);
        if (column.mixed) {
            PyRef ints = copied_ndarray(NPY_INT64, {static_cast<npy_intp>(n)}, column.ints.data(), n * sizeof(std::int64_t));
            PyRef integral = bool_array({static_cast<npy_intp>(n)}, column.integral);
            integers = checked(PyTuple_Pack(2, ints.get(), integral.get()));
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                        checked(PyTuple_Pack(4, key.get(), present.get(), values.get(), integers.get())).release());
    }
    return list;
}

// [(frame, key, value), ...] in frame order: the values no column keeps.
PyRef loose_list(const FrameTableColumns& table) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(table.loose.size())));
    for (std::size_t i = 0; i < table.loose.size(); ++i) {
        const frames::LooseValue& loose = table.loose[i];
        PyRef frame = checked(PyLong_FromSize_t(loose.frame));
        PyRef key = new_str(table.info[loose.column].key);
        PyRef value = comment_value_object(loose.value);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        checked(PyTuple_Pack(3, frame.get(), key.get(), value.get())).release());
    }
    return list;
}

PyRef key_set_list(const FrameTableColumns& table) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(table.keys.sets.size())));
    for (std::size_t s = 0; s < table.keys.sets.size(); ++s) {
        const std::vector<std::uint32_t>& keys = table.keys.sets[s];
        PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
        for (std::size_t i = 0; i < keys.size(); ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), checked(PyLong_FromSize_t(keys[i])).release());
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), tuple.release());
    }
    return list;
}

// A string column as (distinct tokens, int32 index per row): one str per distinct token.
PyRef coded_strings(const StringColumn& column) {
    std::vector<std::string> distinct;
    distinct.reserve(column.distinct_count());
    for (std::uint32_t d = 0; d < column.distinct_count(); ++d) distinct.emplace_back(column.distinct(d));
    std::vector<std::int32_t> index(column.size());
    for (std::size_t r = 0; r < column.size(); ++r) index[r] = static_cast<std::int32_t>(column.distinct_index(r));
    PyRef tokens = str_list(distinct);
    PyRef rows = copied_ndarray(NPY_INT32, {static_cast<npy_intp>(index.size())}, index.data(),
                                index.size() * sizeof(std::int32_t));
    return checked(PyTuple_Pack(2, tokens.get(), rows.get()));
}

// Per layout: (floats, ints, bools, [(distinct, index), ...]); the value buffers become the
// arrays without a copy.
PyRef layout_columns(std::vector<ParsedAtoms>& layouts) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(layouts.size())));
    for (std::size_t l = 0; l < layouts.size(); ++l) {
        ParsedAtoms& atoms = layouts[l];
        const std::size_t rows = atoms.natoms;
        PyRef floats = OwnedMatrix<double>{std::move(atoms.floats), rows, atoms.n_float_cols}.into_ndarray();
        PyRef ints = OwnedMatrix<std::int64_t>{std::move(atoms.ints), rows, atoms.n_int_cols}.into_ndarray();
        PyRef bools = OwnedMatrix<std::uint8_t>{std::move(atoms.bools), rows, atoms.n_bool_cols}.into_ndarray();
        PyRef strs = checked(PyList_New(static_cast<Py_ssize_t>(atoms.strs.size())));
        for (std::size_t c = 0; c < atoms.strs.size(); ++c) {
            StringColumn column = std::move(atoms.strs[c]);
            PyList_SET_ITEM(strs.get(), static_cast<Py_ssize_t>(c), coded_strings(column).release());
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(l),
                        checked(PyTuple_Pack(4, floats.get(), ints.get(), bools.get(), strs.get())).release());
    }
    return list;
}

PyRef table_result(FrameTableColumns& table, std::size_t n) {
    const auto frames = static_cast<npy_intp>(n);
    PyRef lattice = copied_ndarray(NPY_FLOAT64, {frames, 3, 3}, table.lattice.data(), table.lattice.size() * sizeof(double));
    PyRef has_lattice = bool_array({frames}, table.has_lattice);
    PyRef pbc = bool_array({frames, 3}, table.pbc);
    PyRef info = info_list(table, n);
    PyRef key_set = copied_ndarray(NPY_INT32, {frames}, table.keys.of_frame.data(), n * sizeof(std::int32_t));
    PyRef key_sets = key_set_list(table);
    PyRef atoms = layout_columns(table.atoms);
    PyRef loose = loose_list(table);
    return checked(PyTuple_Pack(8, lattice.get(), has_lattice.get(), pbc.get(), info.get(), key_set.get(),
                                key_sets.get(), atoms.get(), loose.get()));
}

// (frame, kind, row, message, line start): kind 0 the comment line, 1 the atom lines (row,
// message and, when the failure is in a line, where it starts; -1 otherwise), 2 an info value
// that clashes with the frames' before it, 3 a file that no longer holds the frame's text.
PyRef refusal_tuple(const frames::TableRefusal& refusal) {
    const bool atoms = refusal.kind == frames::RefusalKind::atoms;
    const long long line_start = atoms && refusal.in_line ? static_cast<long long>(refusal.line_start) : -1;
    PyRef message = new_str(refusal.message);
    return checked(Py_BuildValue("(nnnOL)", static_cast<Py_ssize_t>(refusal.frame), static_cast<Py_ssize_t>(refusal.kind),
                                 static_cast<Py_ssize_t>(refusal.row), message.get(), line_start));
}

[[nodiscard]] Result<PyRef> read_table(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<table_parameters.size()> arguments(table_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    // The data is checked in parameter order but held only once the other arguments are
    // converted: converting the thread count may run the caller's Python code (__index__).
    ATOMKIT_TRY(arguments.convert(table_data, check_data));
    ATOMKIT_TRY(arguments.convert(table_frames, check_matrix<std::int64_t>));
    const std::vector<std::string> codes = ATOMKIT_TRY(arguments.convert(table_col_types, extract_codes));
    const std::uint64_t threads = ATOMKIT_TRY(arguments.convert(table_threads, extract_u64));
    if (threads == 0) return std::unexpected(value_error("threads must be at least 1"));
    const std::uint64_t strict = ATOMKIT_TRY(arguments.convert(table_strict, extract_u64));
    // Info integers are held to int()'s limit on digits; asking it may run Python code.
    const std::size_t digits = ATOMKIT_TRY(int_digits_limit());
    prepare_borrows();  // may import NumPy: before the holds, after which no Python code runs
    const bool from_file = PyLong_CheckExact(arguments.slot(table_data));
    const int fd = from_file ? ATOMKIT_TRY(arguments.convert(table_data, extract_fd)) : -1;
    std::optional<HeldBuffer> data;
    if (!from_file) data.emplace(ATOMKIT_TRY(arguments.convert(table_data, HeldBuffer::extract)));
    const std::optional<std::size_t> size = data ? data->bytes().size() : file_size(fd);
    const FrameRows rows = ATOMKIT_TRY([&]() -> Result<FrameRows> {
        const auto matrix = ATOMKIT_TRY(arguments.convert(table_frames, ReadonlyMatrix<std::int64_t>::extract));
        return frame_rows(matrix.view(), size.value_or(0), from_file, codes.size());
    }());
    if (rows.unread || !size) {
        frames::TableRefusal refusal;
        refusal.frame = size ? *rows.unread : 0;  // a file that cannot be read holds no frame
        refusal.kind = frames::RefusalKind::unread;
        return refusal_tuple(refusal);
    }

    frames::TableRequest request{data ? data->bytes() : std::string_view(), rows.offsets, rows.natoms, rows.layouts,
                                 codes, static_cast<std::size_t>(std::min<std::uint64_t>(threads, max_thread_count)),
                                 strict != 0, digits};
    request.fd = fd;
    request.ends = rows.ends;
    auto read = [&] { return frames::read_frame_table(request); };
    auto table = [&] {
        // A file's frames are read into the call's own memory: nothing of Python's is touched.
        if (data && !data->memory_is_pinned()) return read();
        const ReleasedLock released;
        return read();
    }();
    if (!table) return refusal_tuple(table.error());
    return table_result(*table, rows.offsets.size());
}

}  // namespace

PyObject* read_table_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return read_table(args, nargsf, kwnames); });
}

}  // namespace atomkit
