// A read's plan: each frame's first row in its layout's table, the waves of about wave_bytes of
// text a thread, and each wave's ranges of about equal work with the layouts they meet.
#include <algorithm>
#include <unordered_map>

#include "core/common/internal_failure.hpp"
#include "core/common/thread_pool.hpp"
#include "core/reader/run_parts.hpp"

namespace atomkit::reader::run {
namespace {

constexpr std::size_t comment_weight = 8;  // a comment line costs about as much as 8 atom lines
constexpr std::size_t ranges_per_pool_thread = 4;

bool parsed(const RunRequest& request, std::int64_t layout) {
    const ParsedLayout* found = request.layouts[static_cast<std::size_t>(layout)];
    return found != nullptr && found->has_value();
}

// The frames' rows in their layouts' tables, frame after frame.
void place_rows(const RunRequest& request, Plan& plan) {
    const std::size_t n = request.rows.size();
    plan.dense.assign(request.layouts.size(), none);
    plan.first_row.assign(n, 0);
    plan.span.assign(n, 0);
    for (std::size_t f = 0; f < n; ++f) {
        const FrameRow& row = request.rows[f];
        if (row.layout < 0 || static_cast<std::size_t>(row.layout) >= request.layouts.size()) {
            fail("read_run: a frame of a layout number the reader does not know");
        }
        if (f > 0 && request.numbers[f] <= request.numbers[f - 1]) fail("read_run: frames not in ascending order");
        if (!parsed(request, row.layout)) continue;
        std::size_t& dense = plan.dense[static_cast<std::size_t>(row.layout)];
        if (dense == none) {
            dense = plan.used.size();
            plan.used.push_back(row.layout);
            plan.rows.push_back(0);
        }
        plan.first_row[f] = plan.rows[dense];
        plan.rows[dense] += static_cast<std::size_t>(row.natoms);
    }
}

// Range `range`'s layouts met, each with the rows its frames take.
void find_spans(const RunRequest& request, Plan& plan, FrameRange& range) {
    std::unordered_map<std::size_t, std::uint32_t> span_of;
    for (std::size_t f = range.first; f < range.last; ++f) {
        const FrameRow& row = request.rows[f];
        if (!parsed(request, row.layout)) continue;
        const std::size_t dense = plan.dense[static_cast<std::size_t>(row.layout)];
        auto [place, fresh] = span_of.try_emplace(dense, static_cast<std::uint32_t>(range.spans.size()));
        if (fresh) {
            LayoutSpan& span = range.spans.emplace_back();
            span.dense = dense;
            span.first_row = plan.first_row[f];
        }
        range.spans[place->second].last_row = plan.first_row[f] + static_cast<std::size_t>(row.natoms);
        plan.span[f] = place->second;
    }
}

// Frames [first, last) (one wave) split into ranges of about equal work: one a thread, or
// several a thread (claimed as threads go) when the read may have every thread of the pool.
void split_wave(const RunRequest& request, Plan& plan, std::size_t first, std::size_t last) {
    std::size_t total = 0;
    for (std::size_t f = first; f < last; ++f) total += static_cast<std::size_t>(request.rows[f].natoms) + comment_weight;
    const std::size_t threads = std::max<std::size_t>(request.threads, 1);
    const std::size_t wanted = threads > 1 && threads >= thread_count() ? threads * ranges_per_pool_thread : threads;
    const std::size_t tasks = std::max<std::size_t>(1, std::min(wanted, last - first));
    std::size_t done = 0;
    std::size_t k = 0;
    for (std::size_t f = first; f < last; ++f) {
        if (f == first || done >= range_boundary(total, tasks, k)) {
            if (f != first) plan.ranges.back().last = f;
            plan.ranges.emplace_back().first = f;
            ++k;
        }
        done += static_cast<std::size_t>(request.rows[f].natoms) + comment_weight;
    }
    plan.ranges.back().last = last;
}

}  // namespace

Plan plan_of(const RunRequest& request) {
    Plan plan;
    place_rows(request, plan);
    const std::size_t n = request.rows.size();
    const std::size_t wave = request.wave_bytes * std::max<std::size_t>(request.threads, 1);
    for (std::size_t first = 0; first < n;) {
        std::size_t last = first;
        std::uint64_t bytes = 0;
        while (last < n && (last == first || bytes < wave)) {
            bytes += static_cast<std::uint64_t>(request.rows[last].end - request.rows[last].offset);
            ++last;
        }
        plan.waves.push_back(plan.ranges.size());
        split_wave(request, plan, first, last);
        first = last;
    }
    plan.waves.push_back(plan.ranges.size());
    for (FrameRange& range : plan.ranges) find_spans(request, plan, range);
    return plan;
}

}  // namespace atomkit::reader::run
