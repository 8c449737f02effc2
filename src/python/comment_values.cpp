// Typed comment values made Python objects as reading the line in Python makes them: numbers,
// flags, strs, ints beyond int64 and NumPy arrays of one or two dimensions.
#include "python/comment_values.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/internal_failure.hpp"
#include "core/common/utf8.hpp"
#include "python/numpy_api.hpp"
#include "python/py_objects.hpp"
#include "python/result_array.hpp"

namespace atomkit {
namespace {

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

}  // namespace

PyRef comment_value_object(const CommentValue& value) {
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



Result<std::size_t> int_digits_limit() {
    PyObject* get = PySys_GetObject("get_int_max_str_digits");  // borrowed
    if (get == nullptr) fail("sys.get_int_max_str_digits is missing");
    PyRef limit = PyRef::steal(PyObject_CallNoArgs(get));
    if (!limit) return fetched_error();
    const Py_ssize_t digits = PyLong_AsSsize_t(limit.get());
    if (digits == -1 && PyErr_Occurred() != nullptr) return fetched_error();
    return static_cast<std::size_t>(std::max<Py_ssize_t>(digits, 0));
}

}  // namespace atomkit
