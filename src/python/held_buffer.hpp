// A bytes-like argument held for a call (HeldBuffer), and the interpreter lock let go while
// the core works on such memory (ReleasedLock), or lent out and taken back between the core's
// waves of work to run the signal handlers (LentLock).
#pragma once

#include <string_view>
#include <thread>
#include <utility>

#include "python/py_error.hpp"

namespace atomkit {

// The memory of a bytes-like object, held for the call: an exporter such as bytearray or
// mmap cannot be resized or closed while the hold lasts (its bytes can still change). Not
// every exporter honours a hold (a NumPy array resized with refcheck=False, ctypes.resize
// free the memory regardless), so it is taken only once no more Python code of the caller's
// is to run.
class HeldBuffer {
public:
    [[nodiscard]] static Result<HeldBuffer> extract(PyObject* object) {
        HeldBuffer held;
        if (PyObject_GetBuffer(object, &held.view_, PyBUF_SIMPLE) < 0) return fetched_error();
        held.held_ = true;
        return held;
    }
    // Whether the object lends its memory as extract would, with the same error if not;
    // nothing stays held.
    [[nodiscard]] static Result<void> check(PyObject* object) {
        ATOMKIT_TRY(extract(object));
        return {};
    }
    HeldBuffer(HeldBuffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    HeldBuffer& operator=(HeldBuffer&&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::string_view bytes() const noexcept {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }
    // Whether the memory stays allocated while held, whatever other threads do: bytes never
    // change, and bytearray and mmap refuse to resize or close while exported (directly or
    // under a memoryview). Any other exporter may free it, so it is read only while the
    // interpreter lock is held.
    bool memory_is_pinned() const noexcept {
        PyObject* owner = view_.obj;
        if (owner != nullptr && PyMemoryView_Check(owner)) owner = PyMemoryView_GET_BUFFER(owner)->obj;
        if (owner == nullptr) return false;
        PyTypeObject* type = Py_TYPE(owner);
        return type == &PyBytes_Type || type == &PyByteArray_Type || std::string_view(type->tp_name) == "mmap.mmap";
    }

private:
    HeldBuffer() = default;
    Py_buffer view_{};
    bool held_ = false;
};

// Lets other Python threads run while the native core works on memory this call holds;
// the lock is taken back on every way out, exceptions included.
class ReleasedLock {
public:
    ReleasedLock() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { PyEval_RestoreThread(state_); }
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* state_;
};

// The interpreter lock let go for the core's work, which asks check_signals() between its
// waves: the calling thread then takes the lock back briefly to run the signal handlers. The
// first exception they raise is kept in `raised` (which outlives this, so that it is dropped
// with the lock held), and every later question is answered no.
class LentLock {
public:
    explicit LentLock(PyRef& raised) noexcept
        : raised_(raised), thread_(std::this_thread::get_id()), state_(PyEval_SaveThread()) {}
    ~LentLock() { PyEval_RestoreThread(state_); }
    LentLock(const LentLock&) = delete;
    LentLock& operator=(const LentLock&) = delete;

    // Whether the work may go on.
    bool check_signals() noexcept {
        if (raised_) return false;
        if (std::this_thread::get_id() != thread_) return true;  // the lock is the caller's thread's to take
        PyEval_RestoreThread(state_);
        if (PyErr_CheckSignals() < 0) raised_ = PyRef::steal(PyErr_GetRaisedException());
        state_ = PyEval_SaveThread();
        return !raised_;
    }

private:
    PyRef& raised_;
    std::thread::id thread_;
    PyThreadState* state_;
};

}  // namespace atomkit
