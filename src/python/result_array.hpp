// OwnedMatrix<T>: a natively filled row-major buffer handed to a new NumPy array without a
// copy; a PySliceContainer base object owns the buffer until NumPy lets go of it.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "core/common/internal_failure.hpp"
#include "core/common/owned_buffer.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace atomkit {

// A new C-ordered array of `shape` (up to 3 dimensions) holding a copy of `bytes` bytes of
// `data`, the whole array. Failures are internal failures.
PyRef copied_ndarray(int type_number, std::initializer_list<npy_intp> shape, const void* data, std::size_t bytes);

namespace detail {
PyRef hand_buffer_to_ndarray(OwnedBuffer<std::byte>::Parts storage, std::size_t rows,
                             std::size_t cols, std::size_t element_size, int type_number);
}  // namespace detail

template <class T>
struct OwnedMatrix {
    OwnedBuffer<T> buffer;  // rows * cols elements
    std::size_t rows = 0;
    std::size_t cols = 0;

    // Consumes the matrix; from here on the buffer belongs to the array's base object (or
    // is freed if that object cannot be made). Failures are internal failures. `type_number`
    // may name another type of T's size (NPY_BOOL for 0/1 bytes).
    PyRef into_ndarray(int type_number = numpy::type_number_of<T>()) && {
        if (buffer.size() / (cols == 0 ? 1 : cols) < (cols == 0 ? 0 : rows)) fail("a result buffer shorter than its array");
        auto parts = buffer.release();
        return detail::hand_buffer_to_ndarray(
            {reinterpret_cast<std::byte*>(parts.data), parts.length, parts.capacity}, rows,
            cols, sizeof(T), type_number);
    }
};

}  // namespace atomkit
