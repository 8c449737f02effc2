// Small makers of the objects results are built from: a new reference from a CPython call that
// must not fail, a str from UTF-8 text, a ValueError waiting to be raised.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "python/py_error.hpp"
#include "python/py_ref.hpp"

namespace atomkit {

// The new reference a CPython call returned; a null one abandons the call (api_call_failed).
inline PyRef checked(PyObject* made) {
    if (made == nullptr) api_call_failed();
    return PyRef::steal(made);
}

// The str of UTF-8 text the core made or checked.
inline PyRef new_str(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

inline PyError value_error(std::string message) { return PyError::pending(PyExc_ValueError, std::move(message)); }

}  // namespace atomkit
