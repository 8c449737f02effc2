// _atomkit.Reader: a heap type over the core's FrameReader. Its arguments are bound as a def
// binds them, with CPython's messages; its source is a descriptor, a bytes-like object held
// for the reader's life, or a stream fed in chunks. Scans and reads let the interpreter lock go
// while the core works on memory nothing else can free, taking it back between waves of work
// to run the signal handlers. A CallGate keeps calls of several threads apart.
#include "python/reader_type.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/thread_pool.hpp"
#include "core/reader/frame_reader.hpp"
#include "python/array_argument.hpp"
#include "python/binding.hpp"
#include "python/borrow_registry.hpp"
#include "python/boundary.hpp"
#include "python/call_gate.hpp"
#include "python/comment_values.hpp"
#include "python/held_buffer.hpp"
#include "python/process_cell.hpp"
#include "python/py_objects.hpp"
#include "python/reader_arguments.hpp"
#include "python/reader_results.hpp"
#include "python/result_array.hpp"

namespace atomkit {
namespace {

using reader::FrameReader;
using reader::FrameRow;
using reader::KeepGoing;

struct ReaderState {
    SourceKind source = SourceKind::stream;
    std::optional<HeldBuffer> memory;  // a bytes-like source, held for the reader's life
    PyRef name;                        // str: OSError's filename (none when empty)
    std::size_t digits_limit = 0;      // int()'s limit when the reader was made
    // Whether the core may work without the interpreter lock: on a file or a stream it reads
    // into memory of its own; held memory only when no other thread can free it.
    bool lock_may_go = true;
    bool finished = false;  // a stream told that no more bytes come
    CallGate gate;
    std::optional<FrameReader> core;  // last: it goes before the memory it reads
};

struct ReaderObject {
    PyObject_HEAD
    ReaderState* state;
};

ReaderState& state_of(PyObject* self) {
    ReaderState* state = reinterpret_cast<ReaderObject*>(self)->state;
    if (state == nullptr || !state->core) fail("a Reader that was never made");
    return *state;
}

// ---- Errors ------------------------------------------------------------------------------

// OSError (or the subclass of its errno) with the errno's text and the file's name.
PyError io_error(int error_number, PyObject* name) {
    errno = error_number;
    PyObject* filename = name != nullptr && PyUnicode_GET_LENGTH(name) > 0 ? name : nullptr;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    return PyError::fetch();
}

PyError runtime_error(std::string message) { return PyError::pending(PyExc_RuntimeError, std::move(message)); }

// `call` names what asks: "Reader.scan()", "Reader.rows".
[[nodiscard]] Result<CallGate::Pass> owning_pass(ReaderState& state, std::string_view call) {
    if (auto pass = state.gate.try_own()) return std::move(*pass);
    return std::unexpected(runtime_error(std::string(call) + ": another call is using this Reader"));
}

[[nodiscard]] Result<CallGate::Pass> sharing_pass(ReaderState& state, std::string_view call) {
    if (auto pass = state.gate.try_share()) return std::move(*pass);
    return std::unexpected(
        runtime_error(std::string(call) + ": another call is scanning, feeding or releasing this Reader"));
}

// ---- The core at work ------------------------------------------------------------------

// work(keep_going) run by the core: the lock let go when the reader's memory allows (else no
// Python code may run before the call ends, signal handlers included: one could free that
// memory, so signals wait). The exception a signal handler raised wins over the outcome.
template <class Work>
[[nodiscard]] auto run_core(const ReaderState& state, Work&& work) -> Result<decltype(work(KeepGoing()))> {
    if (!state.lock_may_go) return work(KeepGoing());  // never stopped
    PyRef raised;
    std::optional<decltype(work(KeepGoing()))> outcome;
    {
        LentLock lent(raised);
        outcome.emplace(work(KeepGoing([&lent] { return lent.check_signals(); })));
    }
    if (raised) {
        PyErr_SetRaisedException(raised.release());
        return fetched_error();
    }
    return std::move(*outcome);
}

// ---- Making a reader ---------------------------------------------------------------------

[[nodiscard]] Result<FrameReader> open_core(ReaderState& state, PyObject* source,
                                            const reader::ReaderOptions& options) {
    switch (state.source) {
        case SourceKind::stream:
            return FrameReader::over_stream(options);
        case SourceKind::memory:
            return FrameReader::over_memory(state.memory->bytes(), options);
        case SourceKind::file: {
            int overflow = 0;
            const long fd = PyLong_AsLongAndOverflow(source, &overflow);
            if (overflow != 0 || fd < 0 || fd > INT_MAX) return std::unexpected(io_error(EBADF, state.name.get()));
            auto opened = FrameReader::over_file(static_cast<int>(fd), options);
            if (!opened) return std::unexpected(io_error(opened.error().error_number, state.name.get()));
            return std::move(*opened);
        }
    }
    fail("a source of an unknown kind");
}

[[nodiscard]] Result<PyRef> make_reader(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    BoundArguments<reader_parameters.size()> arguments(reader_spec);
    ATOMKIT_TRY(arguments.bind(args, kwargs));
    ReaderArguments options = ATOMKIT_TRY(convert_options(arguments));

    auto state = std::make_unique<ReaderState>();
    state->source = options.source;
    state->name = std::move(options.name);
    state->digits_limit = options.core.int_digits_limit;
    // The registry may import NumPy: before the holds, after which no Python code runs.
    if (options.properties) prepare_borrows();
    if (state->source == SourceKind::memory) {
        state->memory.emplace(ATOMKIT_TRY(arguments.convert(source_slot, HeldBuffer::extract)));
        state->lock_may_go = state->memory->memory_is_pinned();
    }
    std::optional<std::vector<FrameRow>> rows;
    if (options.properties) {
        const auto matrix = ATOMKIT_TRY(arguments.convert(rows_slot, ReadonlyMatrix<std::int64_t>::extract));
        const std::optional<std::size_t> size =
            state->memory ? std::optional<std::size_t>(state->memory->bytes().size()) : std::nullopt;
        rows = ATOMKIT_TRY(frame_rows(matrix.view(), options.properties->size(), size));
    }
    state->core.emplace(ATOMKIT_TRY(open_core(*state, arguments.slot(source_slot), options.core)));
    if (rows) state->core->set_found(std::move(*rows), std::move(*options.properties), options.identity);

    PyRef self = checked(type->tp_alloc(type, 0));
    reinterpret_cast<ReaderObject*>(self.get())->state = state.release();
    return self;
}

// ---- Methods -----------------------------------------------------------------------------

constexpr std::array<std::string_view, 1> feed_parameters = {"data"};
constexpr FunctionSpec feed_spec{"Reader.feed", feed_parameters};
constexpr std::array<std::string_view, 0> no_parameters = {};
constexpr FunctionSpec finish_spec{"Reader.finish", no_parameters};
constexpr std::array<std::string_view, 1> scan_parameters = {"limit"};
constexpr FunctionSpec scan_spec{"Reader.scan", scan_parameters, 0};
constexpr std::array<std::string_view, 3> read_parameters = {"frames", "keep_going", "threads"};
constexpr FunctionSpec read_spec{"Reader.read", read_parameters, 1};
constexpr std::array<std::string_view, 1> release_parameters = {"frame"};
constexpr FunctionSpec release_spec{"Reader.release", release_parameters};

[[nodiscard]] Result<void> require_stream(const ReaderState& state, std::string_view call) {
    if (state.source != SourceKind::stream) {
        return std::unexpected(value_error(std::string(call) + " is for a reader over a stream (source None)"));
    }
    if (state.finished) return std::unexpected(value_error(std::string(call) + " after finish()"));
    return {};
}

[[nodiscard]] Result<PyRef> reader_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<feed_parameters.size()> arguments(feed_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    const HeldBuffer data = ATOMKIT_TRY(arguments.convert(0, HeldBuffer::extract));
    ReaderState& state = state_of(self);
    const CallGate::Pass pass = ATOMKIT_TRY(owning_pass(state, "Reader.feed()"));
    ATOMKIT_TRY(require_stream(state, "Reader.feed()"));
    state.core->feed(data.bytes());  // copied in, with the lock held: any exporter's memory will do
    return PyRef::borrow(Py_None);
}

[[nodiscard]] Result<PyRef> reader_finish(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<no_parameters.size()> arguments(finish_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    ReaderState& state = state_of(self);
    const CallGate::Pass pass = ATOMKIT_TRY(owning_pass(state, "Reader.finish()"));
    ATOMKIT_TRY(require_stream(state, "Reader.finish()"));
    state.finished = true;
    state.core->finish();
    return PyRef::borrow(Py_None);
}

[[nodiscard]] Result<std::optional<std::size_t>> extract_limit(PyObject* object) {
    const std::int64_t limit = ATOMKIT_TRY(extract_i64(object));
    if (limit < -1) return std::unexpected(value_error("limit must be -1 (to the end) or a number of frames"));
    if (limit == -1) return std::optional<std::size_t>();
    return std::optional<std::size_t>(static_cast<std::size_t>(limit));
}

[[nodiscard]] Result<PyRef> reader_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<scan_parameters.size()> arguments(scan_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    std::optional<std::size_t> limit;
    if (arguments.slot(0) != nullptr) limit = ATOMKIT_TRY(arguments.convert(0, extract_limit));
    ReaderState& state = state_of(self);
    const CallGate::Pass pass = ATOMKIT_TRY(owning_pass(state, "Reader.scan()"));
    auto progress = ATOMKIT_TRY(run_core(state, [&](const KeepGoing& keep_going) {
        return state.core->scan(limit, keep_going);
    }));
    if (!progress) return std::unexpected(io_error(progress.error().error_number, state.name.get()));
    if (progress->cancelled) fail("a scan stopped with no signal to stop it");
    return scan_result_object(*progress, state.digits_limit);
}

[[nodiscard]] Result<bool> extract_truth(PyObject* object) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return fetched_error();
    return truth != 0;
}

// The frame numbers asked for, copied (the array's borrow ends here).
[[nodiscard]] Result<std::vector<std::int64_t>> frame_numbers(
    const BoundArguments<read_parameters.size()>& arguments) {
    const auto frames = ATOMKIT_TRY(arguments.convert(0, ReadonlyVector<std::int64_t>::extract));
    const MatrixView<std::int64_t> view = frames.view();
    std::vector<std::int64_t> numbers(view.rows());
    for (std::size_t i = 0; i < numbers.size(); ++i) numbers[i] = view.at(i, 0);
    return numbers;
}

// Every number among the frames held, in ascending order.
[[nodiscard]] Result<void> check_numbers(const ReaderState& state, const std::vector<std::int64_t>& numbers) {
    const auto first = static_cast<std::int64_t>(state.core->first_held());
    const auto end = first + static_cast<std::int64_t>(state.core->rows().size());
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        const bool held = numbers[i] >= first && numbers[i] < end;
        if (!held || (i > 0 && numbers[i] <= numbers[i - 1])) {
            return std::unexpected(value_error("frames must be ascending frame numbers among those held (" +
                                               std::to_string(first) + " to " + std::to_string(end - 1) +
                                               "); item " + std::to_string(i) + " is " + std::to_string(numbers[i])));
        }
    }
    return {};
}

[[nodiscard]] Result<PyRef> reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<read_parameters.size()> arguments(read_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    ATOMKIT_TRY(arguments.convert(0, check_vector<std::int64_t>));
    const bool keep_going_past =
        arguments.slot(1) != nullptr ? ATOMKIT_TRY(arguments.convert(1, extract_truth)) : false;
    // 0: the reader's own count (a FrameIndex's one reader serves reads of any count).
    const std::size_t threads = arguments.slot(2) != nullptr && arguments.slot(2) != Py_None
                                    ? ATOMKIT_TRY(arguments.convert(2, extract_threads_or_own))
                                    : 0;
    prepare_borrows();  // may import NumPy: before the last check of the frames
    const std::vector<std::int64_t> numbers = ATOMKIT_TRY(frame_numbers(arguments));
    ReaderState& state = state_of(self);
    auto outcome = ATOMKIT_TRY([&]() -> Result<std::expected<reader::ReadOutcome, reader::IoError>> {
        const CallGate::Pass pass = ATOMKIT_TRY(sharing_pass(state, "Reader.read()"));
        ATOMKIT_TRY(check_numbers(state, numbers));
        return run_core(state, [&](const KeepGoing& keep_going) {
            return std::as_const(*state.core).read(numbers, keep_going_past, keep_going, threads);
        });
    }());
    if (!outcome) return std::unexpected(io_error(outcome.error().error_number, state.name.get()));
    if (outcome->cancelled) fail("a read stopped with no signal to stop it");
    return run_object(outcome->run, state.digits_limit);
}

[[nodiscard]] Result<PyRef> reader_release(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<release_parameters.size()> arguments(release_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    const std::uint64_t frame = ATOMKIT_TRY(arguments.convert(0, extract_u64));
    ReaderState& state = state_of(self);
    const CallGate::Pass pass = ATOMKIT_TRY(owning_pass(state, "Reader.release()"));
    const std::size_t found = state.core->first_held() + state.core->rows().size();
    if (frame > found) {
        return std::unexpected(value_error("release(" + std::to_string(frame) + "): only " + std::to_string(found) +
                                           " frames are found"));
    }
    state.core->release(static_cast<std::size_t>(frame));
    return PyRef::borrow(Py_None);
}

// ---- Properties --------------------------------------------------------------------------

template <class Make>
PyObject* getter(PyObject* self, std::string_view name, Make&& make) {
    return run_at_boundary([&]() -> Result<PyRef> {
        ReaderState& state = state_of(self);
        const CallGate::Pass pass = ATOMKIT_TRY(sharing_pass(state, name));
        return make(*state.core);
    });
}

PyObject* get_rows(PyObject* self, void*) {
    return getter(self, "Reader.rows", [](const FrameReader& core) {
        static_assert(sizeof(FrameRow) == 5 * sizeof(std::int64_t));
        const std::span<const FrameRow> rows = core.rows();
        return copied_ndarray(NPY_INT64, {static_cast<npy_intp>(rows.size()), 5}, rows.data(), rows.size_bytes());
    });
}

PyObject* get_first_held(PyObject* self, void*) {
    return getter(self, "Reader.first_held",
                  [](const FrameReader& core) { return checked(PyLong_FromSize_t(core.first_held())); });
}

PyObject* get_properties(PyObject* self, void*) {
    return getter(self, "Reader.properties", [](const FrameReader& core) {
        const auto values = core.properties();
        PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyRef value = values[i] ? new_str(*values[i]) : PyRef::borrow(Py_None);
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value.release());
        }
        return tuple;
    });
}

PyObject* get_layouts(PyObject* self, void*) {
    return getter(self, "Reader.layouts", [](const FrameReader& core) {
        const std::size_t count = core.properties().size();
        PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
        for (std::size_t i = 0; i < count; ++i) {
            const auto* layout = core.layout(i);
            PyRef value = layout != nullptr && layout->has_value() ? layout_object(**layout) : PyRef::borrow(Py_None);
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value.release());
        }
        return tuple;
    });
}

// ---- The type ----------------------------------------------------------------------------

template <Result<PyRef> (*Method)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return Method(self, args, nargsf, kwnames); });
}

template <Result<PyRef> (*Method)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyCFunction method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Method>));
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return run_at_boundary([&] { return make_reader(type, args, kwargs); });
}

void reader_dealloc(PyObject* self) {
    delete reinterpret_cast<ReaderObject*>(self)->state;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef reader_methods[] = {
    {"feed", method<reader_feed>(), fastcall,
     "feed($self, /, data)\n--\n\nAdds bytes to a reader over a stream (copied in)."},
    {"finish", method<reader_finish>(), fastcall,
     "finish($self, /)\n--\n\nTells a reader over a stream that no more bytes come."},
    {"scan", method<reader_scan>(), fastcall,
     "scan($self, /, limit=-1)\n--\n\nFinds frames until more than `limit` are found in all (-1: to the end) or a\n"
     "stream's bytes run out; returns ScanResult(found, complete, failure)."},
    {"read", method<reader_read>(), fastcall,
     "read($self, /, frames, keep_going=False, threads=0)\n--\n\nReads the frames numbered in `frames` (int64, "
     "ascending, among those held) into a Run.\nWithout `keep_going` it stops at the first refused frame; with it, "
     "refused frames\nare left out and listed, but a fatal refusal still stops. `threads` > 0: the most threads this\n"
     "read uses, instead of the reader's own count."},
    {"release", method<reader_release>(), fastcall,
     "release($self, /, frame)\n--\n\nForgets the frames before `frame` (their rows, and a stream's bytes)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"rows", get_rows, nullptr, "(m, 5) int64 copy of the frames held: offset, natoms, line, layout, end.", nullptr},
    {"first_held", get_first_held, nullptr, "The number of the first frame held.", nullptr},
    {"properties", get_properties, nullptr, "The Properties values by layout number (None: a line not read).",
     nullptr},
    {"layouts", get_layouts, nullptr, "Layout(properties, names, kinds, counts) by layout number, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Reader(source, *, name='', threads=0, line_limit=268435456, rows=None, properties=None, "
                    "identity=None)\n--\n\n"
                    "The frames of an extended XYZ source, found and read on the module's threads.\n\n"
                    "`source` is a regular file's descriptor (an int, read with pread, never closed here), a\n"
                    "bytes-like object (held while the reader lives) or None (a stream, given through feed).")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {0, nullptr},
};

PyType_Spec reader_spec_of_type = {
    .name = "_atomkit.Reader",
    .basicsize = static_cast<int>(sizeof(ReaderObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = reader_slots,
};

ProcessCell<PyRef> reader_type_cell;

}  // namespace


PyTypeObject* reader_type() {
    auto type = reader_type_cell.get_or_try_init(
        []() -> std::expected<PyRef, bool> { return checked(PyType_FromSpec(&reader_spec_of_type)); });
    return reinterpret_cast<PyTypeObject*>((*type)->get());
}

}  // namespace atomkit
