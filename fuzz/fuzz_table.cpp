// libFuzzer target of the table reader: any bytes as a file, its frames found by the scanner
// and given layouts from the control byte, read as one table on one thread and in three
// ranges. Both give the same columns and values no column keeps, or refuse the same
// frame; so does the table read from the file through windows of a few bytes. A table read
// means every frame's comment line parses alone, and each frame read as a table of its own
// gives the same rows.
//
// Input: a control byte (bits 0-1 and 2-3 choose two layouts' column codes, 4-7 the window),
// then the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <string>
#include <string_view>
#include <vector>

#include "core/comment_line/comment_line.hpp"
#include "core/frames/frame_scan.hpp"
#include "core/frames/frame_table.hpp"
#include "fuzz_support.hpp"
#include "same_atoms.hpp"

namespace {

using atomkit::frames::FrameTableColumns;
using atomkit::frames::TableRefusal;

constexpr const char* code_choices[] = {"sfff", "fsib", "", "ssf"};

std::vector<atomkit::frames::FrameRecord> scanned(std::string_view file) {
    atomkit::frames::ScanState state;
    state.size = file.size();
    state.line_limit = file.size() + 1;
    std::vector<atomkit::frames::FrameRecord> frames;
    const auto stop = atomkit::frames::scan_frames(file, 0, state, nullptr, frames);
    if (stop.kind != atomkit::frames::StopKind::done) frames.clear();  // a file the reader refuses
    return frames;
}

// Doubles compared bit for bit (NaN equal to itself).
bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool same_info(const FrameTableColumns& a, const FrameTableColumns& b) {
    if (a.info.size() != b.info.size() || a.keys.of_frame != b.keys.of_frame || a.keys.sets != b.keys.sets) return false;
    for (std::size_t k = 0; k < a.info.size(); ++k) {
        const auto& x = a.info[k];
        const auto& y = b.info[k];
        if (x.key != y.key || x.kind != y.kind || x.present != y.present || x.ints != y.ints || x.texts != y.texts ||
            x.text_index != y.text_index || x.mixed != y.mixed || x.integral != y.integral ||
            !same_bits(x.reals, y.reals)) {
            return false;
        }
    }
    return true;
}

bool same_loose(const std::vector<atomkit::frames::LooseValue>& a, const std::vector<atomkit::frames::LooseValue>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const auto& x = a[k].value;
        const auto& y = b[k].value;
        if (a[k].frame != b[k].frame || a[k].column != b[k].column || x.kind != y.kind || x.rows != y.rows ||
            x.text != y.text || x.texts != y.texts || x.ints != y.ints || !same_bits(x.reals, y.reals)) {
            return false;
        }
    }
    return true;
}

void check_same(const std::expected<FrameTableColumns, TableRefusal>& one,
                const std::expected<FrameTableColumns, TableRefusal>& split) {
    fuzz::check(one.has_value() == split.has_value(), "one thread and three disagree on refusing");
    if (!one) {
        fuzz::check(one.error().frame == split.error().frame && one.error().kind == split.error().kind &&
                        one.error().message == split.error().message && one.error().line_start == split.error().line_start,
                    "refusals differ");
        return;
    }
    fuzz::check(same_bits(one->lattice, split->lattice) && one->pbc == split->pbc && one->has_lattice == split->has_lattice,
                "lattices differ");
    fuzz::check(same_info(*one, *split), "info columns differ");
    fuzz::check(same_loose(one->loose, split->loose), "values no column keeps differ");
    for (std::size_t l = 0; l < one->atoms.size(); ++l) {
        fuzz::check(fuzz::same_atoms(one->atoms[l], split->atoms[l]), "atom columns differ");
    }
}

// The request read from a file holding `file`, each range a window of `window` bytes at a time
// (more for a longer frame): as read from memory.
void from_file(atomkit::frames::TableRequest request, std::string_view file, std::size_t window,
               const std::expected<FrameTableColumns, TableRefusal>& want) {
    const int fd = memfd_create("fuzz_table", 0);
    fuzz::check(fd >= 0 && write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()), "no memfd");
    std::vector<std::int64_t> ends;
    for (std::size_t f = 0; f < request.offsets.size(); ++f) {
        ends.push_back(f + 1 < request.offsets.size() ? request.offsets[f + 1] : static_cast<std::int64_t>(file.size()));
    }
    request.data = {};
    request.fd = fd;
    request.ends = ends;
    request.window = window;
    check_same(want, atomkit::frames::read_frame_table(request));
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t control = bytes[0];
    const std::string_view file(reinterpret_cast<const char*>(bytes) + 1, size - 1);
    const auto frames = scanned(file);
    const std::vector<std::string> codes = {code_choices[control & 3], code_choices[(control >> 2) & 3]};
    std::vector<std::int64_t> offsets;
    std::vector<std::int64_t> natoms;
    std::vector<std::int32_t> layouts;
    for (std::size_t f = 0; f < frames.size(); ++f) {
        offsets.push_back(frames[f].offset);
        natoms.push_back(frames[f].natoms);
        layouts.push_back(static_cast<std::int32_t>(f % 2));
    }
    atomkit::frames::TableRequest request{file, offsets, natoms, layouts, codes, 1};
    const auto one = atomkit::frames::read_frame_table(request);
    request.tasks = 3;
    check_same(one, atomkit::frames::read_frame_table(request));
    from_file(request, file, 1 + (control >> 4), one);
    if (!one) return 0;

    // Every frame alone: its comment line parses, and its rows are the table's.
    std::vector<std::size_t> rows(codes.size(), 0);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        atomkit::frames::TableRequest alone{file, std::span(offsets).subspan(f, 1), std::span(natoms).subspan(f, 1),
                                            std::span(layouts).subspan(f, 1), codes, 1};
        const auto single = atomkit::frames::read_frame_table(alone);
        fuzz::check(single.has_value(), "a frame of a table refused alone");
        const auto layout = static_cast<std::size_t>(layouts[f]);
        const atomkit::ParsedAtoms& mine = single->atoms[layout];
        const atomkit::ParsedAtoms& all = one->atoms[layout];
        fuzz::check(mine.natoms == static_cast<std::size_t>(natoms[f]), "a frame alone has other rows");
        const std::size_t n = mine.n_float_cols * mine.natoms;
        fuzz::check(n == 0 || std::memcmp(mine.floats.data(), all.floats.data() + rows[layout] * all.n_float_cols,
                                          n * sizeof(double)) == 0,
                    "a frame alone has other floats");
        for (std::size_t c = 0; c < mine.strs.size(); ++c) {
            for (std::size_t r = 0; r < mine.natoms; ++r) {
                fuzz::check(mine.strs[c][r] == all.strs[c][rows[layout] + r], "a frame alone has other strings");
            }
        }
        rows[layout] += mine.natoms;
    }
    return 0;
}
