// MatrixView<T>: a strided, read-only window on a two-dimensional array's memory.
// Plain C++ so the writer can be built and tested without Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace atomkit {

template <class T>
class MatrixView {
public:
    MatrixView() = default;
    MatrixView(const std::byte* origin, std::size_t rows, std::size_t cols,
               std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) noexcept
        : origin_(origin), rows_(rows), cols_(cols), row_stride_(row_stride),
          col_stride_(col_stride) {}

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::ptrdiff_t row_stride() const noexcept { return row_stride_; }
    std::ptrdiff_t col_stride() const noexcept { return col_stride_; }

    // Any stride NumPy allows is valid here: negative, zero, or not a multiple of
    // sizeof(T). The caller keeps i < rows() and j < cols().
    const std::byte* address(std::size_t i, std::size_t j) const noexcept {
        return origin_ + static_cast<std::ptrdiff_t>(i) * row_stride_ +
               static_cast<std::ptrdiff_t>(j) * col_stride_;
    }

    // Unaligned-safe read; compilers turn the memcpy into one load.
    T at(std::size_t i, std::size_t j) const noexcept {
        T value;
        std::memcpy(&value, address(i, j), sizeof(T));
        return value;
    }

private:
    const std::byte* origin_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t col_stride_ = 0;
};

}  // namespace atomkit
