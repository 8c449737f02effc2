// The entry routine of the frame scanner: scan_frames_rs, a window of a file's bytes and the
// scan's state in, the frames found, the new state and why the scan stopped out.
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/frames/frame_scan.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/entries.hpp"
#include "python/held_buffer.hpp"
#include "python/numpy_api.hpp"
#include "python/py_objects.hpp"

namespace atomkit {
namespace {

using frames::FrameRecord;
using frames::KnownLayouts;
using frames::ScanStop;
using frames::ScanState;

constexpr std::array<std::string_view, 4> scan_parameters = {"data", "offset", "state", "known"};
enum ScanParameter : std::size_t { scan_data, scan_offset, scan_state, scan_known };
constexpr FunctionSpec scan_spec{"scan_frames_rs", scan_parameters};

// Below this many bytes a window is scanned in less time than handing the interpreter lock
// to another thread and back takes.
constexpr std::size_t min_bytes_without_lock = std::size_t{1} << 16;

// The state's fields in the tuple, in this order; all but the layout are non-negative.
constexpr std::size_t state_fields = 11;
constexpr const char* state_form =
    "the scan state is the tuple scan_frames_rs returned: (size, line_limit, position, lineno, line_start, "
    "phase, frame_offset, frame_lineno, natoms, lines_left, layout)";

// An exact int within [low, high] (no Python code runs to read it).
[[nodiscard]] Result<long long> exact_int(PyObject* object, long long low, unsigned long long high) {
    if (!PyLong_CheckExact(object)) return std::unexpected(conversion_error(object, "int"));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) return fetched_error();
    if (overflow != 0 || value < low || (value >= 0 && static_cast<unsigned long long>(value) > high)) {
        return std::unexpected(value_error(state_form));
    }
    return value;
}

[[nodiscard]] Result<ScanState> extract_state(PyObject* object) {
    if (!PyTuple_CheckExact(object)) return std::unexpected(conversion_error(object, "PyTuple"));
    if (PyTuple_GET_SIZE(object) != static_cast<Py_ssize_t>(state_fields)) {
        return std::unexpected(value_error(state_form));
    }
    std::array<std::uint64_t, state_fields - 1> fields{};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const unsigned long long high = i == 5 ? frames::scan_phases - 1 : LLONG_MAX;
        fields[i] = static_cast<std::uint64_t>(
            ATOMKIT_TRY(exact_int(PyTuple_GET_ITEM(object, static_cast<Py_ssize_t>(i)), 0, high)));
    }
    ScanState state;
    state.size = fields[0];
    state.line_limit = fields[1];
    state.position = fields[2];
    state.lineno = fields[3];
    state.line_start = fields[4];
    state.phase = static_cast<frames::ScanPhase>(fields[5]);
    state.frame_offset = fields[6];
    state.frame_lineno = fields[7];
    state.natoms = fields[8];
    state.lines_left = fields[9];
    state.layout = ATOMKIT_TRY(exact_int(PyTuple_GET_ITEM(object, state_fields - 1), -1, LLONG_MAX));
    return state;
}

PyRef state_tuple(const ScanState& state) {
    const std::array<long long, state_fields> fields = {
        static_cast<long long>(state.size),         static_cast<long long>(state.line_limit),
        static_cast<long long>(state.position),     static_cast<long long>(state.lineno),
        static_cast<long long>(state.line_start),   static_cast<long long>(state.phase),
        static_cast<long long>(state.frame_offset), static_cast<long long>(state.frame_lineno),
        static_cast<long long>(state.natoms),       static_cast<long long>(state.lines_left),
        static_cast<long long>(state.layout)};
    PyRef tuple = checked(PyTuple_New(state_fields));
    for (std::size_t i = 0; i < state_fields; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), checked(PyLong_FromLongLong(fields[i])).release());
    }
    return tuple;
}

// None (comment lines passed over), or a dict of Properties values (bytes) to layout numbers.
[[nodiscard]] Result<std::optional<KnownLayouts>> extract_known(PyObject* object) {
    if (object == Py_None) return std::optional<KnownLayouts>();
    if (!PyDict_CheckExact(object)) return std::unexpected(conversion_error(object, "PyDict"));
    KnownLayouts known;
    Py_ssize_t next = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object, &next, &key, &value)) {
        if (!PyBytes_CheckExact(key)) return std::unexpected(conversion_error(key, "PyBytes"));
        if (!PyLong_CheckExact(value)) return std::unexpected(conversion_error(value, "int"));
        const long long layout = PyLong_AsLongLong(value);
        if (layout == -1 && PyErr_Occurred() != nullptr) return fetched_error();
        if (layout < 0) return std::unexpected(value_error("known layouts are numbered from 0"));
        known.add(std::string(PyBytes_AS_STRING(key), static_cast<std::size_t>(PyBytes_GET_SIZE(key))), layout);
    }
    return std::optional<KnownLayouts>(std::move(known));
}

// The frames as an (n, 4) int64 array: offset, atom count, line number, layout.
PyRef frames_array(const std::vector<FrameRecord>& found) {
    static_assert(sizeof(FrameRecord) == 4 * sizeof(std::int64_t));
    numpy::require_api();
    npy_intp dimensions[2] = {static_cast<npy_intp>(found.size()), 4};
    PyRef array = checked(PyArray_SimpleNew(2, dimensions, NPY_INT64));
    if (!found.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), found.data(),
                    found.size() * sizeof(FrameRecord));
    }
    return array;
}

PyRef int_object(long long value) { return checked(PyLong_FromLongLong(value)); }

// (0,) more, (1,) done, (2, line_begin, line_end, candidate bytes or None) a comment line to
// decide, (3, failure kind, frame offset, frame stop, line number) a failure.
PyRef stop_tuple(const ScanStop& stop) {
    PyRef kind = int_object(static_cast<long long>(stop.kind));
    switch (stop.kind) {
        case frames::StopKind::more:
        case frames::StopKind::done:
            return checked(PyTuple_Pack(1, kind.get()));
        case frames::StopKind::comment: {
            PyRef candidate = PyRef::borrow(Py_None);
            if (stop.candidate) {
                candidate = checked(PyBytes_FromStringAndSize(stop.candidate->data(),
                                                              static_cast<Py_ssize_t>(stop.candidate->size())));
            }
            PyRef begin = int_object(static_cast<long long>(stop.line_begin));
            PyRef end = int_object(static_cast<long long>(stop.line_end));
            return checked(PyTuple_Pack(4, kind.get(), begin.get(), end.get(), candidate.get()));
        }
        case frames::StopKind::failure: {
            PyRef failure = int_object(static_cast<long long>(stop.failure));
            PyRef offset = int_object(static_cast<long long>(stop.frame_offset));
            PyRef frame_stop = int_object(static_cast<long long>(stop.frame_stop));
            PyRef lineno = int_object(static_cast<long long>(stop.lineno));
            return checked(PyTuple_Pack(5, kind.get(), failure.get(), offset.get(), frame_stop.get(), lineno.get()));
        }
    }
    fail("scan stop of unknown kind");
}

[[nodiscard]] Result<PyRef> scan_frames(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<scan_parameters.size()> arguments(scan_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    // The data is checked in parameter order but held only once the other arguments are
    // converted: converting the offset may run the caller's Python code (__index__).
    ATOMKIT_TRY(arguments.convert(scan_data, HeldBuffer::check));
    const std::uint64_t offset = ATOMKIT_TRY(arguments.convert(scan_offset, extract_u64));
    ScanState state = ATOMKIT_TRY(arguments.convert(scan_state, extract_state));
    const std::optional<KnownLayouts> known = ATOMKIT_TRY(arguments.convert(scan_known, extract_known));
    numpy::require_api();  // may import NumPy: before the hold, after which no Python code runs
    const HeldBuffer data = ATOMKIT_TRY(arguments.convert(scan_data, HeldBuffer::extract));
    const std::string_view window = data.bytes();
    if (const std::string_view misfit = frames::state_misfit(state, offset, window.size()); !misfit.empty()) {
        return std::unexpected(value_error("the scan state does not fit the window: " + std::string(misfit)));
    }

    std::vector<FrameRecord> found;
    auto scan = [&] { return frames::scan_frames(window, offset, state, known ? &*known : nullptr, found); };
    const ScanStop stop = [&] {
        if (window.size() < min_bytes_without_lock || !data.memory_is_pinned()) return scan();
        const ReleasedLock released;
        return scan();
    }();
    PyRef frames_found = frames_array(found);
    PyRef new_state = state_tuple(state);
    PyRef why = stop_tuple(stop);
    return checked(PyTuple_Pack(3, frames_found.get(), new_state.get(), why.get()));
}

}  // namespace

PyObject* scan_frames_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return scan_frames(args, nargsf, kwnames); });
}

}  // namespace atomkit
