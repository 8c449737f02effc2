// PanicException and the report of an internal failure on the C runtime's stderr.
#include "python/panic.hpp"

#include <cstdio>
#include <expected>

#include "core/common/internal_failure.hpp"
#include "python/process_cell.hpp"
#include "python/py_error.hpp"

namespace atomkit {
namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when Native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

ProcessCell<PyRef> panic_cell;

}  // namespace

PyObject* panic_exception_type() {
    auto cell = panic_cell.get_or_try_init([]() -> std::expected<PyRef, bool> {
        PyObject* type = PyErr_NewExceptionWithDoc("atomkit_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) return std::unexpected(false);
        return PyRef::steal(type);
    });
    return cell ? (*cell)->get() : nullptr;
}

void report_internal_failure(const InternalFailure& failure) noexcept {
    const std::source_location& where = failure.where();
    std::fprintf(stderr, "\nthread %lu: internal failure at %s:%u:%u:\n%s\n",
                 PyThread_get_thread_ident(), where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 failure.message().c_str());
    std::fflush(stderr);
}

void raise_panic(const InternalFailure& failure) noexcept {
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    // Without the class the failure cannot be reported as a panic; the error of making
    // the class (in practice a MemoryError) is raised instead, never a crash.
    if (type == nullptr) return;
    const std::string& message = failure.message();
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
    if (!failure.note().empty()) {
        PyRef exception = PyRef::steal(PyErr_GetRaisedException());
        add_notes(exception.get(), {failure.note()});
        PyErr_SetRaisedException(exception.release());
    }
}

}  // namespace atomkit
