// The Reader's arguments converted as a def converts them, with CPython's messages, in
// parameter order: the source's kind, the name, the thread count, the line limit, the frames
// found before (checked by the core's own rule) and the file's identity; and the tuning of the
// readers made from now on.
#include "python/reader_arguments.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "core/common/thread_pool.hpp"
#include "python/array_argument.hpp"
#include "python/boundary.hpp"
#include "python/comment_values.hpp"
#include "python/held_buffer.hpp"
#include "python/py_objects.hpp"

namespace atomkit {
namespace {

using reader::FrameReader;
using reader::FrameRow;

constexpr std::uint64_t default_line_limit = std::uint64_t{1} << 28;

// The tuning of the readers made from now on (_set_reader_tuning).
std::atomic<std::size_t> tuned_wave_bytes{reader::ReaderOptions{}.wave_bytes};
std::atomic<std::uint64_t> tuned_parts_from{reader::ReaderOptions{}.parts_from};
std::atomic<std::size_t> tuned_window_bytes{reader::ReaderOptions{}.window_bytes};

bool given(PyObject* argument) { return argument != nullptr && argument != Py_None; }

[[nodiscard]] Result<SourceKind> check_source(PyObject* object) {
    if (object == Py_None) return SourceKind::stream;
    if (PyLong_CheckExact(object)) return SourceKind::file;
    ATOMKIT_TRY(HeldBuffer::check(object));
    return SourceKind::memory;
}

// An exact str of the name (a subclass is copied: nothing of the caller's runs later).
[[nodiscard]] Result<PyRef> extract_name(PyObject* object) {
    if (!PyUnicode_Check(object)) return std::unexpected(conversion_error(object, "PyString"));
    return checked(PyUnicode_FromObject(object));
}

[[nodiscard]] Result<std::size_t> extract_threads(PyObject* object) {
    const std::uint64_t threads = ATOMKIT_TRY(extract_u64(object));
    if (threads == 0) return thread_count();
    return static_cast<std::size_t>(std::min<std::uint64_t>(threads, max_thread_count));
}

[[nodiscard]] Result<std::uint64_t> extract_line_limit(PyObject* object) {
    const std::uint64_t limit = ATOMKIT_TRY(extract_u64(object));
    if (limit == 0) return std::unexpected(value_error("line_limit must be at least 1"));
    return limit;
}

// A tuple (or list) of Properties values: str, or None for a comment line that cannot be read.
[[nodiscard]] Result<std::vector<std::optional<std::string>>> extract_properties(PyObject* object) {
    if (!PyTuple_Check(object) && !PyList_Check(object)) return std::unexpected(conversion_error(object, "PyTuple"));
    std::vector<std::optional<std::string>> values;
    for (Py_ssize_t i = 0; i < Py_SIZE(object); ++i) {
        PyObject* item = PyTuple_Check(object) ? PyTuple_GET_ITEM(object, i) : PyList_GET_ITEM(object, i);
        if (item == Py_None) {
            values.emplace_back();
            continue;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (text == nullptr) {
            PyError error = PyUnicode_Check(item) ? PyError::fetch() : conversion_error(item, "PyString");
            error.set_item(static_cast<std::size_t>(i));
            error.set_expectation("each item is a Properties value (str) or None");
            return std::unexpected(std::move(error));
        }
        values.emplace_back(std::string(text, static_cast<std::size_t>(size)));
    }
    return values;
}

// (size, mtime_ns), two ints.
[[nodiscard]] Result<Identity> extract_identity(PyObject* object) {
    const bool pair = PyTuple_Check(object) && PyTuple_GET_SIZE(object) == 2 &&
                      PyLong_Check(PyTuple_GET_ITEM(object, 0)) && PyLong_Check(PyTuple_GET_ITEM(object, 1));
    if (!pair) return std::unexpected(value_error("identity must be a tuple (size, mtime_ns) of two ints"));
    const unsigned long long size = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(object, 0));
    if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return fetched_error();
    const long long mtime = PyLong_AsLongLong(PyTuple_GET_ITEM(object, 1));
    if (mtime == -1 && PyErr_Occurred() != nullptr) return fetched_error();
    return Identity{size, mtime};
}

constexpr std::array<std::string_view, 3> tuning_parameters = {"wave_bytes", "parts_from", "window_bytes"};
constexpr FunctionSpec tuning_spec{"_set_reader_tuning", tuning_parameters};

[[nodiscard]] Result<PyRef> set_reader_tuning(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<tuning_parameters.size()> arguments(tuning_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    const std::uint64_t wave_bytes = ATOMKIT_TRY(arguments.convert(0, extract_u64));
    const std::uint64_t parts_from = ATOMKIT_TRY(arguments.convert(1, extract_u64));
    const std::uint64_t window_bytes = ATOMKIT_TRY(arguments.convert(2, extract_u64));
    if (wave_bytes == 0) return std::unexpected(value_error("wave_bytes must be at least 1"));
    if (window_bytes == 0) return std::unexpected(value_error("window_bytes must be at least 1"));
    const std::size_t old_waves = tuned_wave_bytes.exchange(static_cast<std::size_t>(wave_bytes));
    const std::uint64_t old_parts = tuned_parts_from.exchange(parts_from);
    const std::size_t old_window = tuned_window_bytes.exchange(static_cast<std::size_t>(window_bytes));
    return checked(Py_BuildValue("(nKn)", static_cast<Py_ssize_t>(old_waves), static_cast<unsigned long long>(old_parts),
                                 static_cast<Py_ssize_t>(old_window)));
}


}  // namespace

Result<std::size_t> extract_threads_or_own(PyObject* object) {
    const std::uint64_t threads = ATOMKIT_TRY(extract_u64(object));
    return static_cast<std::size_t>(std::min<std::uint64_t>(threads, max_thread_count));
}

// The frames found before, copied, and checked as the core wants them: each within the
// source's bytes (a file's may have shrunk since: the core finds that) and after the one
// before, its layout numbered among the Properties values.
Result<std::vector<FrameRow>> frame_rows(const MatrixView<std::int64_t>& rows, std::size_t layouts,
                                                       std::optional<std::size_t> size) {
    if (rows.cols() != 5) {
        return std::unexpected(value_error("rows must have 5 columns: offset, natoms, line, layout, end"));
    }
    std::vector<FrameRow> found(rows.rows());
    for (std::size_t f = 0; f < rows.rows(); ++f) {
        found[f] = {rows.at(f, 0), rows.at(f, 1), rows.at(f, 2), rows.at(f, 3), rows.at(f, 4)};
    }
    if (auto misfit = FrameReader::rows_misfit(found, layouts, size)) {
        return std::unexpected(value_error("rows: " + *misfit));
    }
    return found;
}

Result<ReaderArguments> convert_options(const BoundArguments<reader_parameters.size()>& arguments) {
    ReaderArguments options;
    options.core.wave_bytes = tuned_wave_bytes.load(std::memory_order_relaxed);
    options.core.parts_from = tuned_parts_from.load(std::memory_order_relaxed);
    options.core.window_bytes = tuned_window_bytes.load(std::memory_order_relaxed);
    options.source = ATOMKIT_TRY(arguments.convert(source_slot, check_source));
    options.name = arguments.slot(name_slot) != nullptr ? ATOMKIT_TRY(arguments.convert(name_slot, extract_name))
                                                        : new_str("");
    options.core.threads = arguments.slot(threads_slot) != nullptr
                               ? ATOMKIT_TRY(arguments.convert(threads_slot, extract_threads))
                               : thread_count();
    options.core.line_limit = arguments.slot(line_limit_slot) != nullptr
                                  ? ATOMKIT_TRY(arguments.convert(line_limit_slot, extract_line_limit))
                                  : default_line_limit;
    if (given(arguments.slot(rows_slot))) ATOMKIT_TRY(arguments.convert(rows_slot, check_matrix<std::int64_t>));
    if (given(arguments.slot(properties_slot))) {
        options.properties = ATOMKIT_TRY(arguments.convert(properties_slot, extract_properties));
    }
    if (given(arguments.slot(identity_slot))) {
        options.identity = ATOMKIT_TRY(arguments.convert(identity_slot, extract_identity));
    }
    if (given(arguments.slot(rows_slot)) != options.properties.has_value()) {
        return std::unexpected(value_error("rows and properties are given together"));
    }
    if (options.properties && options.source == SourceKind::stream) {
        return std::unexpected(value_error("a stream's frames are found as it is fed: rows cannot be given"));
    }
    if (options.identity && !options.properties) {
        return std::unexpected(value_error("identity goes with the rows found when the file had it"));
    }
    // int()'s limit on digits; asking may run Python code, so before anything is held.
    options.core.int_digits_limit = ATOMKIT_TRY(int_digits_limit());
    return options;
}

PyObject* set_reader_tuning_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return set_reader_tuning(args, nargsf, kwnames); });
}

}  // namespace atomkit
