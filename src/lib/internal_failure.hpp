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
    InternalFailure(std::string message, std::source_location where, bool announced = false)
        : message_(std::move(message)), where_(where), announced_(announced) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    // True when the report on standard error has already been written (a PanicException
    // that came back from Python code was printed with its traceback when it was fetched).
    bool announced() const noexcept { return announced_; }

private:
    std::string message_;
    std::source_location where_;
    bool announced_;
};

[[noreturn]] inline void fail(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw InternalFailure(std::move(message), where);
}

}  // namespace atomkit
