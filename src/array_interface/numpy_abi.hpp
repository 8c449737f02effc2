// The parts of NumPy's binary interface the module reads directly: the array object's
// leading fields, descriptor element sizes, type numbers and flags. Nothing links NumPy.
#pragma once

#include <climits>
#include <cstdint>
#include <cstring>

#include "lib/py_ref.hpp"

namespace atomkit::numpy {

// The leading fields of every ndarray; identical in NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline ArrayFields* fields(PyObject* array) noexcept {
    return reinterpret_cast<ArrayFields*>(array);
}

inline constexpr int array_writeable = 0x0400;

// Type numbers of the element types, as this platform's C types map them.
inline constexpr int type_ubyte = 2;
inline constexpr int type_uint = 6;
inline constexpr int type_ulong = 8;
inline constexpr int type_long = 7;
inline constexpr int type_longlong = 9;
inline constexpr int type_double = 12;

inline constexpr int type_uint8 = type_ubyte;
inline constexpr int type_uint32 = sizeof(unsigned int) == 4 ? type_uint : type_ulong;
inline constexpr int type_int64 = sizeof(long) == 8 ? type_long : type_longlong;
inline constexpr int type_float64 = type_double;

template <class T>
constexpr int type_number_of();
template <>
constexpr int type_number_of<std::uint8_t>() { return type_uint8; }
template <>
constexpr int type_number_of<std::uint32_t>() { return type_uint32; }
template <>
constexpr int type_number_of<std::int64_t>() { return type_int64; }
template <>
constexpr int type_number_of<double>() { return type_float64; }

// Element size of a descriptor. NumPy 2 (C feature version 0x12 and up) widened it from a
// 32-bit field at offset 32 to a 64-bit field at offset 40.
inline std::int64_t descr_element_size(PyObject* descr, bool numpy2_layout) noexcept {
    const char* base = reinterpret_cast<const char*>(descr);
    if (numpy2_layout) {
        std::int64_t size;
        std::memcpy(&size, base + 40, sizeof size);
        return size;
    }
    std::int32_t size;
    std::memcpy(&size, base + 32, sizeof size);
    return size;
}

}  // namespace atomkit::numpy
