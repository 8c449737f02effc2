// ReadonlyMatrix<T> (and ReadonlyVector<T>): an accepted two- (one-) dimensional NumPy array
// argument, held by reference under a shared borrow for the call, and read in place through a
// MatrixView<T> (a vector as one column).
#pragma once

#include <string>
#include <utility>

#include "core/common/internal_failure.hpp"
#include "core/common/matrix_view.hpp"
#include "python/borrow_registry.hpp"
#include "python/numpy_api.hpp"
#include "python/py_error.hpp"

namespace atomkit {

// Why `object` is not an ndarray (or subclass) of exactly `dimensions` dimensions whose
// element type is equivalent to the type number, or none; nothing is ever converted or copied.
enum class MatrixRefusal { none, not_an_array, dimensions, element_type, byte_order };
[[nodiscard]] MatrixRefusal matrix_refusal(PyObject* object, int type_number, int dimensions = 2);

// "expected a 2-dimensional numpy.ndarray of float64 (native byte order); got ...".
[[nodiscard]] std::string refusal_note(PyObject* object, int type_number, MatrixRefusal refusal,
                                       int dimensions = 2);

// The acceptance test alone, with the refusal every array argument gives (the same message
// for every reason; the note tells them apart).
template <class T, int Dimensions = 2>
[[nodiscard]] Result<void> check_matrix(PyObject* object) {
    constexpr int type_number = numpy::type_number_of<T>();
    if (const MatrixRefusal refusal = matrix_refusal(object, type_number, Dimensions); refusal != MatrixRefusal::none) {
        PyError error = conversion_error(object, "PyArray<T, D>");
        error.add_note(refusal_note(object, type_number, refusal, Dimensions));
        return std::unexpected(std::move(error));
    }
    return {};
}

template <class T>
[[nodiscard]] Result<void> check_vector(PyObject* object) {
    return check_matrix<T, 1>(object);
}

template <class T, int Dimensions = 2>
class ReadonlyMatrix {
    static_assert(Dimensions == 1 || Dimensions == 2);

public:
    [[nodiscard]] static Result<ReadonlyMatrix> extract(PyObject* object) {
        ATOMKIT_TRY((check_matrix<T, Dimensions>(object)));
        ReadonlyMatrix matrix(PyRef::borrow(object));
        if (!acquire_shared(object)) {
            fail("called `Result::unwrap()` on an `Err` value: AlreadyBorrowed");
        }
        matrix.borrowed_ = true;
        return matrix;
    }

    ReadonlyMatrix(ReadonlyMatrix&& other) noexcept
        : array_(std::move(other.array_)), borrowed_(std::exchange(other.borrowed_, false)) {}
    ReadonlyMatrix& operator=(ReadonlyMatrix&&) = delete;
    ReadonlyMatrix(const ReadonlyMatrix&) = delete;
    ReadonlyMatrix& operator=(const ReadonlyMatrix&) = delete;
    // The borrow goes before the reference that keeps the array alive.
    ~ReadonlyMatrix() {
        if (borrowed_) release_shared(array_.get());
    }

    // A vector is one column.
    MatrixView<T> view() const noexcept {
        const PyArrayObject_fields* a = numpy::fields(array_.get());
        const bool matrix = Dimensions == 2;
        return MatrixView<T>(reinterpret_cast<const std::byte*>(a->data),
                             static_cast<std::size_t>(a->dimensions[0]),
                             matrix ? static_cast<std::size_t>(a->dimensions[1]) : 1, a->strides[0],
                             matrix ? a->strides[1] : static_cast<std::ptrdiff_t>(sizeof(T)));
    }

private:
    explicit ReadonlyMatrix(PyRef array) noexcept : array_(std::move(array)) {}
    PyRef array_;
    bool borrowed_ = false;
};

template <class T>
using ReadonlyVector = ReadonlyMatrix<T, 1>;

}  // namespace atomkit
