// The Reader's constructor arguments converted in parameter order (the source's kind, name,
// threads, line limit, frames found before, identity), a read's thread count, and the private
// entry that tunes the readers made from then on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/matrix_view.hpp"
#include "core/reader/frame_reader.hpp"
#include "python/binding.hpp"

namespace atomkit {

enum class SourceKind { file, memory, stream };

inline constexpr std::array<std::string_view, 7> reader_parameters = {"source", "name",       "threads", "line_limit",
                                                                      "rows",   "properties", "identity"};
enum ReaderParameter : std::size_t {
    source_slot,
    name_slot,
    threads_slot,
    line_limit_slot,
    rows_slot,
    properties_slot,
    identity_slot,
};
inline constexpr FunctionSpec reader_spec{"Reader", reader_parameters, 1, 1};

using Identity = std::pair<std::uint64_t, std::int64_t>;  // (size, mtime_ns)

// What the arguments say, converted in parameter order.
struct ReaderArguments {
    SourceKind source = SourceKind::stream;
    PyRef name;
    reader::ReaderOptions core;
    std::optional<std::vector<std::optional<std::string>>> properties;
    std::optional<Identity> identity;
};

// Every argument but the source's memory and the rows, which are held and read only once
// this is done (converting may run the caller's Python code). Asks int()'s digit limit.
[[nodiscard]] Result<ReaderArguments> convert_options(const BoundArguments<reader_parameters.size()>& arguments);

// The frames found before, copied, and checked as the core wants them (FrameReader::rows_misfit).
[[nodiscard]] Result<std::vector<reader::FrameRow>> frame_rows(const MatrixView<std::int64_t>& rows,
                                                               std::size_t layouts, std::optional<std::size_t> size);

// A read's thread count: 0 keeps the reader's own; more than the pool allows is the most.
[[nodiscard]] Result<std::size_t> extract_threads_or_own(PyObject* object);

// _set_reader_tuning(wave_bytes, parts_from), for tests: the text a thread reads between two
// looks at the signals, and the size from which a file is scanned in parts on several threads,
// of the readers made from then on. Returns the previous pair.
PyObject* set_reader_tuning_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace atomkit
