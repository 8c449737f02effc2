// The named results of _atomkit.Reader (PyStructSequence types: ScanResult, Run, InfoColumn,
// AtomTable, Layout, Refusal) and their making from what the core reader hands over.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "core/reader/frame_reader.hpp"
#include "python/py_ref.hpp"

namespace atomkit {

struct NamedType {
    std::string_view name;
    PyTypeObject* type;
};

// Every result type, made on first need; the module adds them as its attributes.
[[nodiscard]] std::vector<NamedType> result_types();

// `digits_limit`: the limit on an integer's digits the frames were read under (for messages).
[[nodiscard]] PyRef refusal_object(const reader::Refusal& refusal, std::size_t digits_limit);
[[nodiscard]] PyRef scan_result_object(const reader::ScanProgress& progress, std::size_t digits_limit);
// Layout(properties, names, kinds, counts).
[[nodiscard]] PyRef layout_object(const reader::AtomLayout& layout);
// The run's atom columns become arrays without a copy (the run gives up their buffers).
[[nodiscard]] PyRef run_object(reader::RunTable& run, std::size_t digits_limit);

}  // namespace atomkit
