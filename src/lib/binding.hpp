// Call binding for the fastcall-with-keywords entry routines: CPython's own argument
// messages, the conversions of the non-array parameters, and the argument-error rule.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "lib/py_error.hpp"

namespace atomkit {

struct FunctionSpec {
    std::string_view name;
    std::span<const std::string_view> parameters;  // all positional-or-keyword, required
};

// Fills one borrowed reference per parameter, or fails with CPython's TypeError texts.
Result<void> bind_arguments(const FunctionSpec& function, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames,
                            std::span<PyObject*> slots);

// An exception of exactly type TypeError becomes "argument '{parameter}': {old text}"
// (keeping the old exception's __cause__); every other error passes unchanged.
PyError argument_error(PyError error, std::string_view parameter);

template <class T>
Result<T> for_argument(Result<T> converted, std::string_view parameter) {
    if (!converted) return std::unexpected(argument_error(std::move(converted.error()), parameter));
    return converted;
}

// int or __index__, as an unsigned 64-bit integer (OverflowError kept).
Result<std::uint64_t> extract_u64(PyObject* object);
// Any non-str sequence of integers 0..255.
Result<std::vector<std::uint8_t>> extract_byte_sequence(PyObject* object);

// The lines of a frame: references to the caller's str objects, read as UTF-8 in place.
struct LineTexts {
    std::vector<PyRef> owners;
    std::vector<std::string_view> texts;
};
// Any non-str sequence of str.
Result<LineTexts> extract_lines(PyObject* object);

}  // namespace atomkit
