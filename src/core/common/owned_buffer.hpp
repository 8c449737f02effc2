// OwnedBuffer<T>: a heap buffer with exactly one owner, which can be handed
// whole (address, length, capacity) to a Python object that frees it later.
// Plain C++ so the reader's parser can fill it without Python.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "core/common/huge_pages.hpp"

namespace atomkit {

// Frees a buffer made by OwnedBuffer. A capacity of 0 means no storage was ever taken.
inline void release_owned_storage(void* address, std::size_t /*length*/,
                                  std::size_t capacity) noexcept {
    if (capacity != 0) std::free(address);
}

template <class T>
class OwnedBuffer {
public:
    OwnedBuffer() = default;

    // n zero elements; n == 0 takes no storage. Throws std::bad_alloc when memory is short.
    static OwnedBuffer zeroed(std::size_t n) {
        OwnedBuffer b;
        if (n == 0) return b;
        void* p = std::calloc(n, sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        b.data_ = static_cast<T*>(p);
        b.length_ = n;
        b.capacity_ = n;
        return b;
    }

    // n elements to be written before anything reads them (no zeroing; large buffers on
    // huge pages). The caller has checked that n * sizeof(T) does not overflow.
    static OwnedBuffer uninitialized(std::size_t n) {
        OwnedBuffer b;
        if (n == 0) return b;
        void* p = allocate_for_writing(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        b.data_ = static_cast<T*>(p);
        b.length_ = n;
        b.capacity_ = n;
        return b;
    }

    OwnedBuffer(OwnedBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          length_(std::exchange(other.length_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            length_ = std::exchange(other.length_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    OwnedBuffer(const OwnedBuffer&) = delete;
    OwnedBuffer& operator=(const OwnedBuffer&) = delete;
    ~OwnedBuffer() { reset(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return length_; }
    std::size_t capacity() const noexcept { return capacity_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    // Keeps the first n elements (n <= size()); the storage stays as it is.
    void truncate(std::size_t n) noexcept {
        if (n < length_) length_ = n;
    }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

    struct Parts {
        T* data;
        std::size_t length;
        std::size_t capacity;
    };
    // Gives up ownership; the receiver frees with release_owned_storage.
    Parts release() noexcept {
        return Parts{std::exchange(data_, nullptr), std::exchange(length_, 0),
                     std::exchange(capacity_, 0)};
    }

private:
    void reset() noexcept {
        release_owned_storage(data_, length_, capacity_);
        data_ = nullptr;
        length_ = 0;
        capacity_ = 0;
    }

    T* data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace atomkit
