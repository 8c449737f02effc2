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

npy_intp dimension(std::size_t size) { return static_cast<npy_intp>(size); }

// A numeric array value of `size` elements: flat, 3x3, or the rows of a nested list.
PyRef array_object(int type_number, const CommentValue& value, std::size_t size, const void* data, std::size_t bytes) {
    if (value.square) return copied_ndarray(type_number, {3, 3}, data, bytes);
    if (value.rows != 0) return copied_ndarray(type_number, {dimension(value.rows), dimension(size / value.rows)}, data, bytes);
    return copied_ndarray(type_number, {dimension(size)}, data, bytes);
}

std::size_t characters(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    return count;
}

// NumPy's str array of the texts: UTF-32, each padded with zeros to the width of the widest
// (at least 1 and the value's width), as np.array(texts, dtype=str) makes it.
PyRef str_array_object(const CommentValue& value) {
    std::size_t width = std::max<std::size_t>(value.width, 1);
    for (const std::string& text : value.texts) width = std::max(width, characters(text));
    if (width > static_cast<std::size_t>(std::numeric_limits<int>::max()) / sizeof(char32_t)) throw std::bad_alloc();
    const std::size_t size = value.texts.size();
    npy_intp shape[2] = {dimension(size), 0};
    if (value.rows != 0) {
        shape[0] = dimension(value.rows);
        shape[1] = dimension(size / value.rows);
    }
    numpy::require_api();
    PyRef array = PyRef::steal(PyArray_New(&PyArray_Type, value.rows != 0 ? 2 : 1, shape, NPY_UNICODE, nullptr, nullptr,
                                           static_cast<int>(width * sizeof(char32_t)), 0, nullptr));
    if (!array) api_call_failed();
    auto* out = static_cast<char32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    for (const std::string& text : value.texts) {
        char32_t* const end = out + width;
        for (std::size_t i = 0; i < text.size();) {
            const Utf8Sequence sequence = decode_utf8(text, i);
            if (sequence.length == 0) fail("a comment text that is not UTF-8");
            *out++ = sequence.code_point;
            i += sequence.length;
        }
        out = std::fill_n(out, end - out, U'\0');
    }
    return array;
}

PyRef int_from_text(const std::string& digits) { return checked(PyLong_FromString(digits.c_str(), nullptr, 10)); }

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
        case CommentValueKind::big_integer:
            return int_from_text(value.text);
        case CommentValueKind::real:
            return checked(PyFloat_FromDouble(value.real));
        case CommentValueKind::bool_array: {
            const std::vector<std::uint8_t> flags(value.ints.begin(), value.ints.end());
            return array_object(NPY_BOOL, value, flags.size(), flags.data(), flags.size());
        }
        case CommentValueKind::int_array:
            return array_object(NPY_INT64, value, value.ints.size(), value.ints.data(),
                                value.ints.size() * sizeof(std::int64_t));
        case CommentValueKind::float_array:
            return array_object(NPY_FLOAT64, value, value.reals.size(), value.reals.data(),
                                value.reals.size() * sizeof(double));
        case CommentValueKind::str_array:
            return str_array_object(value);
        case CommentValueKind::deferred:
            break;
    }
    fail("comment value of a kind this call does not make");
}

std::string quoted(std::string_view text) { return lossy_repr(new_str(text).get()); }

// The start of each message that ends with the error's text quoted; empty for the others.
std::string_view quoting_message(CommentErrorKind kind) {
    switch (kind) {
        case CommentErrorKind::cannot_parse: return "cannot parse ";
        case CommentErrorKind::lattice_numbers: return "Lattice needs 9 numbers, got ";
        case CommentErrorKind::pbc_flags: return "pbc needs three of T/F, got ";
        case CommentErrorKind::list_item: return "cannot parse the list item at ";
        case CommentErrorKind::nested_list: return "cannot parse the nested list at ";
        case CommentErrorKind::row_lengths: return "rows of different lengths in ";
        default: return {};
    }
}

// The message of each kind; int()'s own refusal of an integer's digits.
PyError comment_error(const CommentError& error) {
    std::string message(quoting_message(error.kind));
    switch (error.kind) {
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
        case CommentErrorKind::int_digits:
            if (PyRef::steal(PyLong_FromString(error.text.c_str(), nullptr, 10))) fail("int() took an integer it refused");
            return PyError::fetch();
        default:
            message += quoted(error.text);
            break;
    }
    return PyError::pending(PyExc_ValueError, std::move(message));
}

PyRef optional_str(const std::optional<std::string>& text) {
    return text ? new_str(*text) : PyRef::borrow(Py_None);
}

// (properties, lattice, pbc, info, None); the last item stays for callers that unpack five.
PyRef parse_result(const ParsedComment& parsed) {
    PyRef lattice = parsed.lattice ? value_object(*parsed.lattice) : PyRef::borrow(Py_None);
    PyRef pbc = PyRef::borrow(Py_None);
    if (parsed.pbc) {
        const auto& flags = *parsed.pbc;
        pbc = checked(PyTuple_Pack(3, flags[0] ? Py_True : Py_False, flags[1] ? Py_True : Py_False,
                                   flags[2] ? Py_True : Py_False));
    }
    PyRef info = checked(PyDict_New());
    for (const CommentItem& item : parsed.info) {
        PyRef key = new_str(item.key);
        PyRef value = value_object(item.value);
        if (PyDict_SetItem(info.get(), key.get(), value.get()) < 0) api_call_failed();
    }
    PyRef properties = optional_str(parsed.properties);
    return checked(PyTuple_Pack(5, properties.get(), lattice.get(), pbc.get(), info.get(), Py_None));
}

// The least limit Python allows on an integer's digits, 0 (none) apart: a line read under it
// fails on a long integer wherever the limit in force could, and is read again under that.
constexpr std::size_t least_int_digits_limit = 640;

[[nodiscard]] Result<std::size_t> int_digits_limit() {
    PyObject* get = PySys_GetObject("get_int_max_str_digits");  // borrowed
    if (get == nullptr) fail("sys.get_int_max_str_digits is missing");
    PyRef limit = PyRef::steal(PyObject_CallNoArgs(get));
    if (!limit) return fetched_error();
    const Py_ssize_t digits = PyLong_AsSsize_t(limit.get());
    if (digits == -1 && PyErr_Occurred() != nullptr) return fetched_error();
    return static_cast<std::size_t>(std::max<Py_ssize_t>(digits, 0));
}

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
    if (!parsed) return std::unexpected(comment_error(parsed.error()));
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
