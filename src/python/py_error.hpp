// PyError: an expected failure on its way to the entry boundary, and the helpers that
// turn Python objects into message text. Errors are values; only the boundary raises.
#pragma once

#include <expected>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "python/py_ref.hpp"

namespace atomkit {

class [[nodiscard]] PyError {
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
    [[nodiscard]] static PyError fetch(std::source_location where = std::source_location::current());

    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;

    // A note for the exception's __notes__, saying what its fixed message cannot (the
    // argument, the shape, what was expected); added only when the error is raised.
    void add_note(std::string note) { notes_.push_back(std::move(note)); }
    // Where a conversion failed inside its argument (the item of a sequence), and what the
    // argument takes; argument binding turns both into a note that names the argument.
    void set_item(std::size_t item) noexcept { item_ = item; }
    void set_expectation(std::string_view expectation) { expectation_ = expectation; }
    std::optional<std::size_t> item() const noexcept { return item_; }
    std::string_view expectation() const noexcept { return expectation_; }
    std::vector<std::string> take_notes() && { return std::move(notes_); }
    bool has_type(PyObject* type) const noexcept {
        return raised_ ? Py_TYPE(raised_.get()) == reinterpret_cast<PyTypeObject*>(type) : type_ == type;
    }

    // Sets the error as the current Python exception.
    void restore() &&;
    // The exception object itself, made on first need (pending errors are instantiated).
    [[nodiscard]] PyObject* object();
    // "PyErr { type: ..., value: ..., traceback: ... }"
    [[nodiscard]] std::string debug_form();

private:
    PyError() = default;
    PyObject* type_ = nullptr;  // pending form
    std::string message_;
    PyRef raised_;              // raised form
    std::vector<std::string> notes_;
    std::optional<std::size_t> item_;
    std::string expectation_;
};

// Adds each note to the exception's __notes__ (BaseException.add_note). Notes only add to an
// exception: one that cannot be added is left out, and the exception stays as it was.
void add_notes(PyObject* exception, const std::vector<std::string>& notes) noexcept;

template <class T>
using Result = std::expected<T, PyError>;

// The value of a Result, or an early return of its error from the enclosing function, which
// returns a Result too: `auto width = ATOMKIT_TRY(extract_u64(object));`. A GNU statement
// expression, which GCC and Clang both have.
#define ATOMKIT_TRY(...) ATOMKIT_TRY_NAMED(ATOMKIT_CONCAT(atomkit_try_, __COUNTER__), __VA_ARGS__)
#define ATOMKIT_CONCAT(a, b) ATOMKIT_CONCAT_(a, b)
#define ATOMKIT_CONCAT_(a, b) a##b
// A name of its own per use, so that uses nested in lambdas do not shadow each other.
#define ATOMKIT_TRY_NAMED(name, ...)                                                       \
    __extension__({                                                                        \
        auto name = (__VA_ARGS__);                                                         \
        if (!name) return std::unexpected(std::move(name.error()));                        \
        *std::move(name);                                                                  \
    })

// Drops the exception a failed CPython call left set, where the module can do without that
// call's result. The exception is fetched like any other, so a PanicException raised by
// Python code still ends the call. Only code that must not throw clears errors with
// PyErr_Clear instead: the boundary, and functions that CPython or other modules call.
inline void drop_error(std::source_location where = std::source_location::current()) {
    (void)PyError::fetch(where);
}

// The exception a failed CPython call left set, as the error of a Result.
[[nodiscard]] inline std::unexpected<PyError> fetched_error(
    std::source_location where = std::source_location::current()) {
    return std::unexpected(PyError::fetch(where));
}

// str(object) as UTF-8, lone surrogates replaced by U+FFFD; "<unprintable ...>" when
// str() itself fails (that failure is reported as unraisable).
[[nodiscard]] std::string lossy_text(PyObject* object);
// repr(object) by the same rule.
[[nodiscard]] std::string lossy_repr(PyObject* object);
// The qualified name of the object's type, or "<failed to extract type name>".
[[nodiscard]] std::string type_qualname(PyObject* object);
// "'{type}' object cannot be converted to '{target}'" as a pending TypeError.
[[nodiscard]] PyError conversion_error(PyObject* object, std::string_view target);

// A CPython call that must not fail returned null: the pending exception is printed and
// the call is abandoned with "Python API call failed". Exhausted memory stays MemoryError.
[[noreturn]] void api_call_failed(std::source_location where = std::source_location::current());
// Internal failure "{context}: {debug form of error}".
[[noreturn]] void fail_with(std::string_view context, PyError error,
                            std::source_location where = std::source_location::current());

}  // namespace atomkit
