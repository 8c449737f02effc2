// The reader's named results: their PyStructSequence types (made once a process) and the
// making of each from the core's values. Per-frame arrays are copied from the core's vectors;
// atom columns are handed over whole.
#include "python/reader_results.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <utility>

#include "core/common/internal_failure.hpp"
#include "python/comment_values.hpp"
#include "python/numpy_api.hpp"
#include "python/process_cell.hpp"
#include "python/py_objects.hpp"
#include "python/refusal_text.hpp"
#include "python/result_array.hpp"

namespace atomkit {
namespace {

using frames::InfoColumn;
using reader::RunTable;

// ---- The types ---------------------------------------------------------------------------

PyStructSequence_Field scan_result_fields[] = {
    {"found", "frames found so far, released ones included"},
    {"complete", "no more frames will be found"},
    {"failure", "the Refusal that ends the scan, or None"},
    {nullptr, nullptr},
};

PyStructSequence_Field run_fields[] = {
    {"frames", "int64 (n,): the frames' numbers"},
    {"natoms", "int64 (n,)"},
    {"lines", "int64 (n,): the count lines' numbers"},
    {"layout", "int32 (n,): the layout numbers"},
    {"lattice", "float64 (n, 3, 3), zero without one"},
    {"has_lattice", "bool (n,)"},
    {"pbc", "bool (n, 3): as the line says, else as the lattice implies"},
    {"has_pbc", "bool (n,): pbc given on the line"},
    {"has_properties", "bool (n,): a Properties key on the line"},
    {"info", "tuple of InfoColumn, keys in order of first appearance"},
    {"key_sets", "tuple of tuples of info column indices"},
    {"key_set", "int32 (n,): each frame's keys, as an index into key_sets"},
    {"loose", "list of (row, info column index, value) of values kept as Python objects"},
    {"atoms", "tuple of AtomTable, one per layout met, in layout number order"},
    {"refusals", "tuple of Refusal"},
    {nullptr, nullptr},
};

PyStructSequence_Field info_column_fields[] = {
    {"key", "str"},
    {"present", "bool (n,)"},
    {"values", "an array of one row per frame, (distinct texts, int32 (n,) index) for texts, or None"},
    {"integers", "None, or (int64 (n,), bool (n,)): the ints of a key of ints among floats"},
    {nullptr, nullptr},
};

PyStructSequence_Field atom_table_fields[] = {
    {"layout", "the layout number"},
    {"floats", "float64 (r, nf)"},
    {"ints", "int64 (r, ni)"},
    {"bools", "bool (r, nb)"},
    {"strs", "tuple of (distinct texts, int32 (r,) index), one per str column"},
    {nullptr, nullptr},
};

PyStructSequence_Field layout_fields[] = {
    {"properties", "the Properties value"},
    {"names", "tuple of the columns' names"},
    {"kinds", "str: a kind letter (S, R, I, L) per column"},
    {"counts", "tuple of the columns' counts"},
    {nullptr, nullptr},
};

PyStructSequence_Field refusal_fields[] = {
    {"frame", "the frame's number"},
    {"kind", "count, no_comment, ends_inside, long_line, comment, atoms or changed"},
    {"line", "the file line the message names"},
    {"count_line", "the frame's count line"},
    {"row", "the atom row within the frame, -1 if none"},
    {"column", "the token's column, -1 if none"},
    {"message", "'line N: ...' without the file's name; empty for a file that changed"},
    {"cause", "what refused the frame in its own words (the atom parser's 'row N: ...', the comment line's "
              "parser, Properties or int() message), or None"},
    {"fatal", "nothing after it can be read"},
    {nullptr, nullptr},
};

struct StructType {
    PyStructSequence_Desc desc;
    ProcessCell<PyRef> cell;
};

template <std::size_t N>
constexpr int field_count(const PyStructSequence_Field (&)[N]) {
    return static_cast<int>(N - 1);
}

StructType scan_result_type{{"_atomkit.ScanResult", "What Reader.scan found so far.", scan_result_fields,
                             field_count(scan_result_fields)}, {}};
StructType run_type{{"_atomkit.Run", "The frames Reader.read read, as columns.", run_fields, field_count(run_fields)}, {}};
StructType info_column_type{{"_atomkit.InfoColumn", "One info key over the frames of a Run.", info_column_fields,
                             field_count(info_column_fields)}, {}};
StructType atom_table_type{{"_atomkit.AtomTable", "The atom columns of one layout's frames in a Run.",
                            atom_table_fields, field_count(atom_table_fields)}, {}};
StructType layout_type{{"_atomkit.Layout", "The columns a Properties value names.", layout_fields,
                        field_count(layout_fields)}, {}};
StructType refusal_type{{"_atomkit.Refusal", "Why a frame was not read.", refusal_fields,
                         field_count(refusal_fields)}, {}};

PyTypeObject* type_of(StructType& made) {
    auto type = made.cell.get_or_try_init([&made]() -> std::expected<PyRef, bool> {
        return checked(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&made.desc)));
    });
    return reinterpret_cast<PyTypeObject*>((*type)->get());
}

template <std::size_t N>
PyRef struct_of(StructType& made, std::array<PyRef, N> items) {
    if (static_cast<int>(N) != made.desc.n_in_sequence) fail("a result of the wrong number of fields");
    PyRef result = checked(PyStructSequence_New(type_of(made)));
    for (std::size_t i = 0; i < N; ++i) {
        PyStructSequence_SetItem(result.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return result;
}

// ---- Small objects -----------------------------------------------------------------------

PyRef int_object(long long value) { return checked(PyLong_FromLongLong(value)); }
PyRef size_object(std::size_t value) { return checked(PyLong_FromSize_t(value)); }
PyRef bool_object(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

PyRef tuple_of(std::vector<PyRef> items) {
    PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    }
    return tuple;
}

template <class Text>
PyRef str_list(const std::vector<Text>& texts) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_str(texts[i]).release());
    }
    return list;
}

// A new array of `shape` holding a copy of `values`, which must fill it exactly.
template <class T>
PyRef copied(int type_number, std::initializer_list<npy_intp> shape, const std::vector<T>& values) {
    std::size_t elements = 1;
    for (const npy_intp extent : shape) elements *= static_cast<std::size_t>(extent);
    if (values.size() != elements) fail("a run's values do not fill their array");
    return copied_ndarray(type_number, shape, values.data(), values.size() * sizeof(T));
}

// ---- Info columns ------------------------------------------------------------------------

// One row per frame: scalars (n,), arrays (n, width), 3x3 values (n, 3, 3).
template <class T>
PyRef info_array(const InfoColumn& column, int type_number, npy_intp n, const std::vector<T>& values) {
    if (column.square) return copied(type_number, {n, 3, 3}, values);
    const bool array = column.kind == CommentValueKind::float_array || column.kind == CommentValueKind::int_array ||
                       column.kind == CommentValueKind::bool_array;
    if (array) return copied(type_number, {n, static_cast<npy_intp>(column.width)}, values);
    return copied(type_number, {n}, values);
}

PyRef info_values(const InfoColumn& column, npy_intp n) {
    switch (column.kind) {
        case CommentValueKind::real:
        case CommentValueKind::float_array:
            return info_array(column, NPY_FLOAT64, n, column.reals);
        case CommentValueKind::integer:
        case CommentValueKind::int_array:
            return info_array(column, NPY_INT64, n, column.ints);
        case CommentValueKind::boolean:
        case CommentValueKind::bool_array: {
            std::vector<std::uint8_t> flags(column.ints.size());
            for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = column.ints[i] != 0;
            return info_array(column, NPY_BOOL, n, flags);
        }
        case CommentValueKind::deferred:
            return PyRef::borrow(Py_None);  // every value of the key is loose
        case CommentValueKind::text: {
            PyRef texts = str_list(column.texts);
            PyRef index = copied(NPY_INT32, {n}, column.text_index);
            return checked(PyTuple_Pack(2, texts.get(), index.get()));
        }
        default:
            fail("an info column of a kind the reader does not keep");
    }
}

PyRef info_column_object(const InfoColumn& column, npy_intp n) {
    PyRef integers = PyRef::borrow(Py_None);
    if (column.mixed) {
        PyRef ints = copied(NPY_INT64, {n}, column.ints);
        PyRef integral = copied(NPY_BOOL, {n}, column.integral);
        integers = checked(PyTuple_Pack(2, ints.get(), integral.get()));
    }
    return struct_of<4>(info_column_type, {new_str(column.key), copied(NPY_BOOL, {n}, column.present),
                                           info_values(column, n), std::move(integers)});
}

PyRef info_tuple(const RunTable& run, npy_intp n) {
    std::vector<PyRef> columns;
    for (const InfoColumn& column : run.info) columns.push_back(info_column_object(column, n));
    return tuple_of(std::move(columns));
}

PyRef key_sets_tuple(const RunTable& run) {
    std::vector<PyRef> sets;
    for (const std::vector<std::uint32_t>& keys : run.keys.sets) {
        std::vector<PyRef> indices;
        for (const std::uint32_t key : keys) indices.push_back(size_object(key));
        sets.push_back(tuple_of(std::move(indices)));
    }
    return tuple_of(std::move(sets));
}

// [(row in the run, info column index, value), ...]
PyRef loose_list(const RunTable& run) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(run.loose.size())));
    for (std::size_t i = 0; i < run.loose.size(); ++i) {
        const frames::LooseValue& loose = run.loose[i];
        PyRef row = size_object(loose.frame);
        PyRef column = size_object(loose.column);
        PyRef value = comment_value_object(loose.value);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        checked(PyTuple_Pack(3, row.get(), column.get(), value.get())).release());
    }
    return list;
}

// ---- Atom tables -------------------------------------------------------------------------

// A str column as (distinct tokens in order of first appearance, int32 index per row).
PyRef coded_strings(const StringColumn& column) {
    PyRef tokens = checked(PyList_New(static_cast<Py_ssize_t>(column.distinct_count())));
    for (std::uint32_t d = 0; d < column.distinct_count(); ++d) {
        PyList_SET_ITEM(tokens.get(), static_cast<Py_ssize_t>(d), new_str(column.distinct(d)).release());
    }
    std::vector<std::int32_t> index(column.size());
    for (std::size_t r = 0; r < column.size(); ++r) index[r] = static_cast<std::int32_t>(column.distinct_index(r));
    PyRef rows = copied(NPY_INT32, {static_cast<npy_intp>(index.size())}, index);
    return checked(PyTuple_Pack(2, tokens.get(), rows.get()));
}

PyRef atom_table_object(reader::AtomTable& table) {
    ParsedAtoms& atoms = table.atoms;
    const std::size_t rows = atoms.natoms;
    std::vector<PyRef> strs;
    for (StringColumn& column : atoms.strs) {
        strs.push_back(coded_strings(column));
        column = StringColumn();  // its tokens go as soon as their strs exist
    }
    return struct_of<5>(atom_table_type,
                        {int_object(table.layout),
                         OwnedMatrix<double>{std::move(atoms.floats), rows, atoms.n_float_cols}.into_ndarray(),
                         OwnedMatrix<std::int64_t>{std::move(atoms.ints), rows, atoms.n_int_cols}.into_ndarray(),
                         OwnedMatrix<std::uint8_t>{std::move(atoms.bools), rows, atoms.n_bool_cols}.into_ndarray(NPY_BOOL),
                         tuple_of(std::move(strs))});
}

PyRef atoms_tuple(RunTable& run) {
    std::vector<PyRef> tables;
    for (reader::AtomTable& table : run.atoms) tables.push_back(atom_table_object(table));
    return tuple_of(std::move(tables));
}

PyRef refusals_tuple(const RunTable& run, std::size_t digits_limit) {
    std::vector<PyRef> refusals;
    for (const reader::Refusal& refusal : run.refusals) refusals.push_back(refusal_object(refusal, digits_limit));
    return tuple_of(std::move(refusals));
}

}  // namespace

std::vector<NamedType> result_types() {
    std::vector<NamedType> types;
    for (StructType* made : {&scan_result_type, &run_type, &info_column_type, &atom_table_type, &layout_type,
                             &refusal_type}) {
        std::string_view name(made->desc.name);
        types.push_back({name.substr(name.find('.') + 1), type_of(*made)});
    }
    return types;
}

PyRef refusal_object(const reader::Refusal& refusal, std::size_t digits_limit) {
    const auto kind = static_cast<std::size_t>(refusal.kind);
    if (kind >= std::size(reader::refusal_kind_names)) fail("a refusal of an unknown kind");
    return struct_of<9>(refusal_type,
                        {size_object(refusal.frame), new_str(reader::refusal_kind_names[kind]), size_object(refusal.line),
                         size_object(refusal.count_line), int_object(refusal.row), int_object(refusal.column),
                         refusal_message(refusal, digits_limit), refusal_cause(refusal, digits_limit),
                         bool_object(refusal.fatal)});
}

PyRef scan_result_object(const reader::ScanProgress& progress, std::size_t digits_limit) {
    return struct_of<3>(scan_result_type,
                        {size_object(progress.found), bool_object(progress.complete),
                         progress.failure ? refusal_object(*progress.failure, digits_limit) : PyRef::borrow(Py_None)});
}

PyRef layout_object(const reader::AtomLayout& layout) {
    std::vector<PyRef> names;
    std::vector<PyRef> counts;
    std::string kinds;
    for (const reader::AtomColumnSpec& column : layout.columns) {
        names.push_back(new_str(column.name));
        counts.push_back(size_object(column.count));
        kinds += column.kind;
    }
    return struct_of<4>(layout_type, {new_str(layout.properties), tuple_of(std::move(names)), new_str(kinds),
                                      tuple_of(std::move(counts))});
}

PyRef run_object(RunTable& run, std::size_t digits_limit) {
    const auto n = static_cast<npy_intp>(run.frames.size());
    return struct_of<15>(run_type, {copied(NPY_INT64, {n}, run.frames), copied(NPY_INT64, {n}, run.natoms),
                                    copied(NPY_INT64, {n}, run.lines), copied(NPY_INT32, {n}, run.layout),
                                    copied(NPY_FLOAT64, {n, 3, 3}, run.lattice), copied(NPY_BOOL, {n}, run.has_lattice),
                                    copied(NPY_BOOL, {n, 3}, run.pbc), copied(NPY_BOOL, {n}, run.has_pbc),
                                    copied(NPY_BOOL, {n}, run.has_properties), info_tuple(run, n),
                                    key_sets_tuple(run), copied(NPY_INT32, {n}, run.keys.of_frame), loose_list(run),
                                    atoms_tuple(run), refusals_tuple(run, digits_limit)});
}

}  // namespace atomkit
