// PyError: an expected failure on its way to the entry boundary, and the helpers that
// turn Python objects into message text. Errors are values; only the boundary raises.
#pragma once

#include <expected>
#include <source_location>
#include <string>
#include <string_view>

#include "lib/py_ref.hpp"

namespace atomkit {

class PyError {
public:
    // A pending error: the exception type (a static or process-lived type object) and its
    // message; Python objects are made only when it is raised or inspected.
    static PyError pending(PyObject* type, std::string message) {
        PyError e;
        e.type_ = type;
        e.message_ = std::move(message);
        return e;
    }
    // Takes the exception that a failed CPython call left set (a SystemError if none is).
    // A PanicException coming back from Python code is not an ordinary error: it is printed
    // with its traceback and the call is abandoned as an internal failure (this throws).
    static PyError fetch(std::source_location where = std::source_location::current());

    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;

    // Sets the error as the current Python exception.
    void restore() &&;
    // The exception object itself, made on first need (pending errors are instantiated).
    PyObject* object();
    // "PyErr { type: ..., value: ..., traceback: ... }"
    std::string debug_form();

private:
    PyError() = default;
    PyObject* type_ = nullptr;  // pending form
    std::string message_;
    PyRef raised_;              // raised form
};

template <class T>
using Result = std::expected<T, PyError>;

// str(object) as UTF-8, lone surrogates replaced by U+FFFD; "<unprintable ...>" when
// str() itself fails (that failure is reported as unraisable).
std::string lossy_text(PyObject* object);
// repr(object) by the same rule.
std::string lossy_repr(PyObject* object);
// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);
// "'{type}' object cannot be converted to '{target}'" as a pending TypeError.
PyError conversion_error(PyObject* object, std::string_view target);

// A CPython call that must not fail returned null: the pending exception is printed and
// the call is abandoned with "Python API call failed". Exhausted memory stays MemoryError.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());
// Internal failure "{context}: {debug form of error}".
[[noreturn]] void fail_with(std::string_view context, PyError error,
                            std::source_location where = std::source_location::current());

}  // namespace atomkit
