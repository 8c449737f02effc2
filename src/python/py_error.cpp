// PyError, lossy message text, and the failed-API-call rule.
#include "python/py_error.hpp"

#include <cstdio>
#include <new>

#include "core/common/internal_failure.hpp"
#include "python/panic.hpp"

namespace atomkit {
namespace {

// UTF-8 of a str object; lone surrogates (which UTF-8 cannot hold) become U+FFFD, one per
// byte of their surrogatepass encoding, so that a message never fails to render.
std::string str_to_utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    drop_error();  // lone surrogates: encoded again below, leniently
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    if (!bytes) api_call_failed();
    PyRef repaired = PyRef::steal(PyUnicode_DecodeUTF8(
        PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) api_call_failed();
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) api_call_failed();
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string unprintable(PyObject* object) {
    PyErr_WriteUnraisable(object);
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) {
        drop_error();
        return "<unprintable object>";
    }
    return "<unprintable " + str_to_utf8_lossy(name.get()) + " object>";
}

}  // namespace

std::string lossy_text(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (!text) return unprintable(object);
    return str_to_utf8_lossy(text.get());
}

std::string lossy_repr(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Repr(object));
    if (!text) return unprintable(object);
    return str_to_utf8_lossy(text.get());
}

std::string type_qualname(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) {
        drop_error();  // the placeholder below says enough
        return "<failed to extract type name>";
    }
    return str_to_utf8_lossy(name.get());
}

[[nodiscard]] PyError conversion_error(PyObject* object, std::string_view target) {
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be converted to '";
    message += target;
    message.push_back('\'');
    return PyError::pending(PyExc_TypeError, std::move(message));
}

PyError PyError::fetch(std::source_location where) {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        return pending(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    PyObject* panic_type = panic_exception_type();
    // Without the class no exception can be a PanicException; the error of making it must
    // not stay set behind the one being fetched (and fetching it would try the class again).
    if (panic_type == nullptr) PyErr_Clear();
    if (panic_type != nullptr &&
        Py_TYPE(exception.get()) == reinterpret_cast<PyTypeObject*>(panic_type)) {
        // A panic that passed through Python code resumes as a panic of this call, so a
        // broken invariant can never be swallowed as an ordinary error.
        std::string message;
        PyRef text = PyRef::steal(PyObject_Str(exception.get()));
        if (text) {
            message = str_to_utf8_lossy(text.get());
        } else {
            PyErr_Clear();  // a panic is being resumed already; its __str__ failing changes nothing
            message = "Unwrapped panic from Python code";
        }
        std::fputs("--- PanicException from Python code: resuming the panic ---\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        PyErr_SetRaisedException(exception.release());
        PyErr_PrintEx(0);
        throw InternalFailure(std::move(message), where, /*announced=*/true);
    }
    PyError error;
    error.raised_ = std::move(exception);
    return error;
}

void add_notes(PyObject* exception, const std::vector<std::string>& notes) noexcept {
    for (const std::string& note : notes) {
        PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
        PyRef done = text ? PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", text.get())) : PyRef();
        if (!done) PyErr_Clear();  // called where the exception is being raised: nothing may throw
    }
}

void PyError::restore() && {
    if (!notes_.empty()) (void)object();
    if (raised_) {
        add_notes(raised_.get(), notes_);
        PyErr_SetRaisedException(raised_.release());
        return;
    }
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
        message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
    if (!text) return;  // MemoryError is set instead, which is the truth
    PyErr_SetObject(type_, text.get());
}

PyObject* PyError::object() {
    if (!raised_) {
        PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
            message_.data(), static_cast<Py_ssize_t>(message_.size()), "replace"));
        if (!text) api_call_failed();
        raised_ = PyRef::steal(PyObject_CallOneArg(type_, text.get()));
        if (!raised_) api_call_failed();
    }
    return raised_.get();
}

std::string PyError::debug_form() {
    PyObject* exception = object();
    std::string out = "PyErr { type: ";
    out += lossy_repr(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    out += ", value: ";
    out += lossy_repr(exception);
    out += ", traceback: ";
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    if (traceback) {
        out += "Some(" + lossy_repr(traceback.get()) + ")";
    } else {
        out += "None";
    }
    out += " }";
    return out;
}

void api_call_failed(std::source_location where) {
    if (PyErr_Occurred() != nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
        PyErr_Print();
    }
    throw InternalFailure("Python API call failed", where);
}

void fail_with(std::string_view context, PyError error, std::source_location where) {
    std::string message(context);
    message += ": ";
    message += error.debug_form();
    throw InternalFailure(std::move(message), where);
}

}  // namespace atomkit
