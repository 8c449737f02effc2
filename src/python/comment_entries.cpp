// Entry routines of the comment line: parse_comment_rs (a line to its Python values) and
// format_floats_rs (doubles as repr() writes them, joined).
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "core/comment_line/comment_line.hpp"
#include "core/comment_line/float_repr.hpp"
#include "python/array_argument.hpp"
#include "python/binding.hpp"
#include "python/borrow_registry.hpp"
#include "python/boundary.hpp"
#include "python/entries.hpp"
#include "python/numpy_api.hpp"
#include "python/result_array.hpp"

namespace atomkit {
namespace {

constexpr std::array<std::string_view, 1> parse_parameters = {"line"};
constexpr FunctionSpec parse_spec{"parse_comment_rs", parse_parameters};
constexpr std::array<std::string_view, 2> format_parameters = {"values", "separator"};
enum FormatParameter : std::size_t { format_values, format_separator };
constexpr FunctionSpec format_spec{"format_floats_rs", format_parameters};

[[nodiscard]] Result<void> check_str(PyObject* object) {
    if (!PyUnicode_Check(object)) return std::unexpected(conversion_error(object, "PyString"));
    return {};
}

// A str's UTF-8 text, which CPython keeps in the object (ASCII text is its own UTF-8).
[[nodiscard]] Result<std::string_view> utf8_text(PyObject* object) {
    ATOMKIT_TRY(check_str(object));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return fetched_error();
    return std::string_view(text, static_cast<std::size_t>(size));
}

PyRef checked(PyObject* made) {
    if (made == nullptr) api_call_failed();
    return PyRef::steal(made);
}

PyRef new_str(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

PyRef bool_object(bool flag) { return PyRef::borrow(flag ? Py_True : Py_False); }

PyRef value_object(const CommentValue& value) {
    switch (value.kind) {
        case CommentValueKind::flag:
            return bool_object(true);
        case CommentValueKind::text:
            return new_str(value.text);
        case CommentValueKind::boolean:
            return bool_object(value.boolean);
        case CommentValueKind::integer:
            return checked(PyLong_FromLongLong(value.integer));
        case CommentValueKind::real:
            return checked(PyFloat_FromDouble(value.real));
        case CommentValueKind::bool_array: {
            std::string flags(value.ints.size(), '\0');
            for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = static_cast<char>(value.ints[i]);
            return copied_ndarray(NPY_BOOL, {static_cast<npy_intp>(flags.size())}, flags.data(), flags.size());
        }
        case CommentValueKind::int_array:
            return copied_ndarray(NPY_INT64, {static_cast<npy_intp>(value.ints.size())}, value.ints.data(),
                             value.ints.size() * sizeof(std::int64_t));
        case CommentValueKind::float_array: {
            const std::size_t bytes = value.reals.size() * sizeof(double);
            if (value.square) return copied_ndarray(NPY_FLOAT64, {3, 3}, value.reals.data(), bytes);
            return copied_ndarray(NPY_FLOAT64, {static_cast<npy_intp>(value.reals.size())}, value.reals.data(), bytes);
        }
        case CommentValueKind::deferred:
            return PyRef::borrow(Py_None);  // a placeholder that keeps the key's place
    }
    fail("comment value of unknown kind");
}

std::string quoted(std::string_view text) { return lossy_repr(new_str(text).get()); }

PyError comment_error(const CommentError& error) {
    std::string message;
    switch (error.kind) {
        case CommentErrorKind::cannot_parse:
            message = "cannot parse " + quoted(error.text);
            break;
        case CommentErrorKind::no_value:
            message = error.text + " has no value";
            break;
        case CommentErrorKind::properties_twice:
            message = "Properties appears twice";
            break;
        case CommentErrorKind::lattice_twice:
            message = "Lattice appears twice";
            break;
        case CommentErrorKind::pbc_twice:
            message = "pbc appears twice";
            break;
        case CommentErrorKind::key_twice:
            message = "key " + quoted(error.text) + " appears twice";
            break;
        case CommentErrorKind::lattice_numbers:
            message = "Lattice needs 9 numbers, got " + quoted(error.text);
            break;
        case CommentErrorKind::pbc_flags:
            message = "pbc needs three of T/F, got " + quoted(error.text);
            break;
        case CommentErrorKind::list_item:
            message = "cannot parse the list item at " + quoted(error.text);
            break;
    }
    return PyError::pending(PyExc_ValueError, std::move(message));
}

PyRef optional_str(const std::optional<std::string>& text) {
    return text ? new_str(*text) : PyRef::borrow(Py_None);
}

// (properties, lattice, pbc, info, deferred): deferred is None, or a list of (key, value as
// written) in line order, whose values the Python path types (and so raises the first error
// of), the key None for the lattice.
PyRef parse_result(const ParsedComment& parsed) {
    PyRef deferred = PyRef::borrow(Py_None);
    auto defer = [&deferred](PyObject* key, const std::string& text) {
        if (deferred.get() == Py_None) deferred = checked(PyList_New(0));
        PyRef entry = checked(PyTuple_Pack(2, key, new_str(text).get()));
        if (PyList_Append(deferred.get(), entry.get()) < 0) api_call_failed();
    };
    PyRef lattice = PyRef::borrow(Py_None);
    const bool lattice_deferred = parsed.lattice && parsed.lattice->kind == CommentValueKind::deferred;
    if (parsed.lattice && !lattice_deferred) lattice = value_object(*parsed.lattice);
    PyRef pbc = PyRef::borrow(Py_None);
    if (parsed.pbc) {
        const auto& flags = *parsed.pbc;
        pbc = checked(PyTuple_Pack(3, flags[0] ? Py_True : Py_False, flags[1] ? Py_True : Py_False,
                                   flags[2] ? Py_True : Py_False));
    }
    PyRef info = checked(PyDict_New());
    for (std::size_t i = 0; i <= parsed.info.size(); ++i) {
        if (lattice_deferred && i == parsed.lattice_place) defer(Py_None, parsed.lattice->text);
        if (i == parsed.info.size()) break;
        const CommentItem& item = parsed.info[i];
        PyRef key = new_str(item.key);
        PyRef value = value_object(item.value);
        if (PyDict_SetItem(info.get(), key.get(), value.get()) < 0) api_call_failed();
        if (item.value.kind == CommentValueKind::deferred) defer(key.get(), item.value.text);
    }
    PyRef properties = optional_str(parsed.properties);
    return checked(PyTuple_Pack(5, properties.get(), lattice.get(), pbc.get(), info.get(), deferred.get()));
}

[[nodiscard]] Result<PyRef> parse_comment(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<parse_parameters.size()> arguments(parse_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    ATOMKIT_TRY(arguments.convert(0, check_str));
    Result<std::string_view> line = utf8_text(arguments.slot(0));
    if (!line) return PyRef::borrow(Py_None);  // lone surrogates: the Python path reads it
    auto parsed = parse_comment_line(*line);
    if (!parsed) {
        if (parsed.error().after_deferred) return PyRef::borrow(Py_None);
        return std::unexpected(comment_error(parsed.error()));
    }
    return parse_result(*parsed);
}

[[nodiscard]] Result<PyRef> format_floats(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<format_parameters.size()> arguments(format_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    ATOMKIT_TRY(arguments.convert(format_values, check_matrix<double>));
    const std::string_view separator = ATOMKIT_TRY(arguments.convert(format_separator, utf8_text));
    prepare_borrows();
    const auto values = ATOMKIT_TRY(arguments.convert(format_values, ReadonlyMatrix<double>::extract));
    std::string text;
    append_float_reprs(values.view(), separator, text);
    return new_str(text);
}

}  // namespace

PyObject* parse_comment_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return parse_comment(args, nargsf, kwnames); });
}

PyObject* format_floats_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return format_floats(args, nargsf, kwnames); });
}

}  // namespace atomkit
