// Entry routines of the comment line: parse_comment_rs (a line to its Python values) and
// format_floats_rs (doubles as repr() writes them, joined).
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/comment_line/comment_line.hpp"
#include "core/comment_line/float_repr.hpp"
#include "core/common/utf8.hpp"
#include "python/array_argument.hpp"
#include "python/binding.hpp"
#include "python/borrow_registry.hpp"
#include "python/boundary.hpp"
#include "python/comment_error.hpp"
#include "python/comment_values.hpp"
#include "python/entries.hpp"
#include "python/numpy_api.hpp"
#include "python/py_objects.hpp"
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

PyRef optional_str(const std::optional<std::string>& text) {
    return text ? new_str(*text) : PyRef::borrow(Py_None);
}

// (properties, lattice, pbc, info, None); the last item stays for callers that unpack five.
PyRef parse_result(const ParsedComment& parsed) {
    PyRef lattice = parsed.lattice ? comment_value_object(*parsed.lattice) : PyRef::borrow(Py_None);
    PyRef pbc = PyRef::borrow(Py_None);
    if (parsed.pbc) {
        const auto& flags = *parsed.pbc;
        pbc = checked(PyTuple_Pack(3, flags[0] ? Py_True : Py_False, flags[1] ? Py_True : Py_False,
                                   flags[2] ? Py_True : Py_False));
    }
    PyRef info = checked(PyDict_New());
    for (const CommentItem& item : parsed.info) {
        PyRef key = new_str(item.key);
        PyRef value = comment_value_object(item.value);
        if (PyDict_SetItem(info.get(), key.get(), value.get()) < 0) api_call_failed();
    }
    PyRef properties = optional_str(parsed.properties);
    return checked(PyTuple_Pack(5, properties.get(), lattice.get(), pbc.get(), info.get(), Py_None));
}

// The least limit Python allows on an integer's digits, 0 (none) apart: a line read under it
// fails on a long integer wherever the limit in force could, and is read again under that.
constexpr std::size_t least_int_digits_limit = 640;

[[nodiscard]] Result<PyRef> parse_comment(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<parse_parameters.size()> arguments(parse_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    ATOMKIT_TRY(arguments.convert(0, check_str));
    Result<std::string_view> line = utf8_text(arguments.slot(0));
    if (!line) return PyRef::borrow(Py_None);  // lone surrogates: the Python path reads it
    CommentOptions options{.type_all = true, .int_digits_limit = least_int_digits_limit};
    auto parsed = parse_comment_line(*line, options);
    if (!parsed && parsed.error().kind == CommentErrorKind::int_digits) {
        options.int_digits_limit = ATOMKIT_TRY(int_digits_limit());
        if (options.int_digits_limit != least_int_digits_limit) parsed = parse_comment_line(*line, options);
    }
    if (!parsed) return std::unexpected(comment_error(parsed.error(), options.int_digits_limit));
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
