// Call binding for the fastcall-with-keywords entry routines: CPython's own argument
// messages, the conversions of the non-array parameters, and the argument-error rule.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "python/py_error.hpp"

namespace atomkit {

// The parameters in order: the first `required` must be given, the first `positional` may be
// given by position, the rest only by keyword (as after a `*` in a def). By default every
// parameter is required and positional-or-keyword.
struct FunctionSpec {
    static constexpr std::size_t all = static_cast<std::size_t>(-1);
    std::string_view name;  // as messages name it: "write_atoms_rs", "Reader.scan"
    std::span<const std::string_view> parameters;
    std::size_t required = all;
    std::size_t positional = all;

    constexpr std::size_t required_count() const noexcept { return required == all ? parameters.size() : required; }
    constexpr std::size_t positional_count() const noexcept {
        return positional == all ? parameters.size() : positional;
    }
};

// A call's arguments in the vectorcall form: positional values, then keyword values, with a
// tuple of the keywords' names (null when none); `owned` keeps every value alive.
struct CallArguments {
    std::vector<PyObject*> values;
    std::vector<PyRef> owned;
    Py_ssize_t positional = 0;
    PyRef names;
};

// A tuple and an optional dict of keywords (as tp_new gets them) in that form.
[[nodiscard]] Result<CallArguments> flatten_arguments(PyObject* args, PyObject* kwargs);

// Fills one borrowed reference per parameter (null for an optional one not given), or fails
// with CPython's TypeError texts.
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
    // The same from a tp_new's argument tuple and keyword dict. The arguments are kept
    // alive here for the call: converting one may run code that empties the dict.
    [[nodiscard]] Result<void> bind(PyObject* args, PyObject* kwargs) {
        CallArguments flat = ATOMKIT_TRY(flatten_arguments(args, kwargs));
        ATOMKIT_TRY(bind_arguments(function_, flat.values.data(), flat.positional, flat.names.get(), slots_));
        kept_ = std::move(flat);
        return {};
    }

    // convert(argument) -> Result, its error named after the parameter.
    template <class Convert>
    [[nodiscard]] auto convert(std::size_t parameter, Convert&& convert) const {
        return for_argument(std::forward<Convert>(convert)(slots_[parameter]),
                            function_.parameters[parameter]);
    }

    PyObject* slot(std::size_t parameter) const noexcept { return slots_[parameter]; }

private:
    const FunctionSpec& function_;
    std::array<PyObject*, N> slots_{};
    CallArguments kept_;
};

// int or __index__, as an unsigned 64-bit integer (OverflowError kept).
[[nodiscard]] Result<std::uint64_t> extract_u64(PyObject* object);
// int or __index__, as a signed 64-bit integer (OverflowError kept).
[[nodiscard]] Result<std::int64_t> extract_i64(PyObject* object);
// Any non-str sequence of integers 0..255.
[[nodiscard]] Result<std::vector<std::uint8_t>> extract_byte_sequence(PyObject* object);

// The lines of a frame: the caller's str objects, read as UTF-8 in place. An exact list or
// tuple is read where it stands (no copy of what it holds); the items of any other sequence
// are collected. While the parser reads them no Python code runs, so nothing can change them.
class LineObjects {
public:
    std::size_t size() const noexcept { return count_; }
    std::string_view operator[](std::size_t i) const noexcept { return utf8_text(item(i)); }
    void prefetch(std::size_t i) const noexcept { __builtin_prefetch(item(i)); }

    // Checks every line again: Python code run since (an __index__ of col_types, say) may
    // have changed the sequence, and every line must be a str whose UTF-8 form is at hand.
    [[nodiscard]] Result<void> recheck();

private:
    friend Result<LineObjects> extract_lines(PyObject* object);

    PyObject* item(std::size_t i) const noexcept {
        return sequence_ ? PySequence_Fast_ITEMS(sequence_.get())[i] : collected_[i].get();
    }
    // A checked line: ASCII text lies in the object; other text in its cached UTF-8 form.
    static std::string_view utf8_text(PyObject* line) noexcept {
        if (PyUnicode_IS_COMPACT_ASCII(line)) {
            return {static_cast<const char*>(PyUnicode_DATA(line)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(line))};
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(line, &size);  // cached: cannot fail
        return {utf8, static_cast<std::size_t>(size)};
    }

    PyRef sequence_;
    std::vector<PyRef> collected_;
    std::size_t count_ = 0;
};

// Any non-str sequence of str.
[[nodiscard]] Result<LineObjects> extract_lines(PyObject* object);

}  // namespace atomkit
