// Internal failures: broken invariants that abandon a whole call. Plain C++ (no Python.h)
// so that the writer and reader cores can raise them; every entry boundary turns one
// into PanicException.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace atomkit {

class InternalFailure final : public std::exception {
public:
    InternalFailure(std::string message, std::source_location where, bool announced = false,
                    std::string note = {})
        : message_(std::move(message)), note_(std::move(note)), where_(where), announced_(announced) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    // What the caller's data did to cause it (the argument, its shape), for the exception's
    // notes; empty for failures no caller can cause.
    const std::string& note() const noexcept { return note_; }
    const std::source_location& where() const noexcept { return where_; }
    // True when the report on standard error has already been written (a PanicException
    // that came back from Python code was printed with its traceback when it was fetched).
    bool announced() const noexcept { return announced_; }

private:
    std::string message_;
    std::string note_;
    std::source_location where_;
    bool announced_;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where);
}

// An internal failure that a caller's data can cause, with the note that says how.
[[noreturn]] inline void fail_noted(std::string message, std::string note,
                                    std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where, false, std::move(note));
}

}  // namespace atomkit
