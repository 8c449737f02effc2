// The boundary of every entry routine: the one place where error values are raised and
// internal failures become PanicException. No C++ exception ever crosses into CPython.
#pragma once

#include <exception>
#include <new>
#include <source_location>

#include "core/common/internal_failure.hpp"
#include "python/panic.hpp"
#include "python/py_error.hpp"

namespace atomkit {

template <class Body>
PyObject* run_at_boundary(Body&& body) noexcept {
    try {
        Result<PyRef> result = body();
        if (result) return result->release();
        std::move(result.error()).restore();
    } catch (const InternalFailure& failure) {
        if (!failure.announced()) report_internal_failure(failure);
        raise_panic(failure);
    } catch (const std::bad_alloc&) {
        PyErr_Clear();
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        InternalFailure failure(other.what(), std::source_location::current());
        report_internal_failure(failure);
        raise_panic(failure);
    }
    return nullptr;
}

}  // namespace atomkit
