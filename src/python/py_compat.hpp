// Python.h for every CPython the module builds against (3.11 to 3.13), and what 3.11 lacks
// of the C API the module uses, built from the calls 3.11 has. On 3.12 and later this
// header adds nothing: the module calls CPython's own functions there.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Older versions lack PyType_GetName, PyType_GetQualName and BaseException.add_note.
#if PY_VERSION_HEX < 0x030B0000
#error "_atomkit needs CPython 3.11 or later"
#endif

#if PY_VERSION_HEX < 0x030C0000

// The current exception as one normalized object, its traceback attached, and the error
// indicator cleared; null when none is set. What 3.12 keeps as the thread's one exception.
static inline PyObject* PyErr_GetRaisedException(void) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Sets the exception (a reference stolen) as the current one, with its own type and
// traceback; null clears the error indicator.
static inline void PyErr_SetRaisedException(PyObject* exception) {
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

#endif
