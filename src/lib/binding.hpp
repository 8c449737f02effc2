// Call binding for the fastcall-with-keywords entry routines: CPython's own argument
// messages, the conversions of the non-array parameters, and the argument-error rule.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
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
[[nodiscard]] Result<void> bind_arguments(const FunctionSpec& function, PyObject* const* args,
                                          Py_ssize_t nargsf, PyObject* kwnames,
                                          std::span<PyObject*> slots);

// An exception of exactly type TypeError becomes "argument '{parameter}': {old text}"
// (keeping the old exception's __cause__); every other error passes unchanged.
[[nodiscard]] PyError argument_error(PyError error, std::string_view parameter);

template <class T>
[[nodiscard]] Result<T> for_argument(Result<T> converted, std::string_view parameter) {
    if (!converted) return std::unexpected(argument_error(std::move(converted.error()), parameter));
    return converted;
}

// The arguments of one call, bound to the function's N parameters. Each conversion takes
// the name of its parameter from the function's table for the argument-error rule.
template <std::size_t N>
class BoundArguments {
public:
    explicit BoundArguments(const FunctionSpec& function) noexcept : function_(function) {}

    [[nodiscard]] Result<void> bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return bind_arguments(function_, args, nargsf, kwnames, slots_);
    }

    // convert(argument) -> Result, its error named after the parameter.
    template <class Convert>
    [[nodiscard]] auto convert(std::size_t parameter, Convert&& convert) const {
        return for_argument(std::forward<Convert>(convert)(slots_[parameter]),
                            function_.parameters[parameter]);
    }

private:
    const FunctionSpec& function_;
    std::array<PyObject*, N> slots_{};
};

// int or __index__, as an unsigned 64-bit integer (OverflowError kept).
[[nodiscard]] Result<std::uint64_t> extract_u64(PyObject* object);
// Any non-str sequence of integers 0..255.
[[nodiscard]] Result<std::vector<std::uint8_t>> extract_byte_sequence(PyObject* object);

// The lines of a frame: references to the caller's str objects, read as UTF-8 in place.
struct LineTexts {
    std::vector<PyRef> owners;
    std::vector<std::string_view> texts;
};
// Any non-str sequence of str.
[[nodiscard]] Result<LineTexts> extract_lines(PyObject* object);

}  // namespace atomkit
