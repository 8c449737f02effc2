// Native tests of the table reader: a table of small files, each read on one range and on
// three, from memory and from a file a few bytes at a time, with the info columns (kinds,
// integers among reals), the values no column keeps and the frame refused that each gives;
// and a file cut short after its scan.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "core/frames/frame_scan.hpp"
#include "core/frames/frame_table.hpp"
#include "harness.hpp"

namespace {

using atomkit::CommentValueKind;
using atomkit::frames::FrameTableColumns;

struct Case {
    std::string file;
    std::optional<std::size_t> refused;  // the frame given up on, or none
    std::string kinds;                   // per info column: r real, i int, b bool, t text, F float array, d loose values only
    std::size_t loose = 0;               // values no column keeps
    std::string mixed;                   // per info column: 1 where integers sit among reals
};

char kind_letter(const atomkit::frames::InfoColumn& column) {
    switch (column.kind) {
        case CommentValueKind::real: return 'r';
        case CommentValueKind::integer: return 'i';
        case CommentValueKind::boolean: return 'b';
        case CommentValueKind::text: return 't';
        case CommentValueKind::float_array: return 'F';
        case CommentValueKind::deferred: return 'd';
        default: return '?';
    }
}

// The file's frames as the scanner finds them read as a table; with `window`, from a file of
// the bytes `file_size` of them (all by default), read that many bytes at a time.
std::expected<FrameTableColumns, atomkit::frames::TableRefusal> read(const std::string& file, std::size_t tasks,
                                                                     std::size_t int_digits_limit = 0,
                                                                     std::size_t window = 0,
                                                                     std::size_t file_size = std::string::npos) {
    atomkit::frames::ScanState state;
    state.size = file.size();
    state.line_limit = file.size() + 1;
    std::vector<atomkit::frames::FrameRecord> frames;
    atomkit::frames::scan_frames(file, 0, state, nullptr, frames);
    std::vector<std::int64_t> offsets, natoms;
    std::vector<std::int32_t> layouts;
    for (const auto& frame : frames) {
        offsets.push_back(frame.offset);
        natoms.push_back(frame.natoms);
        layouts.push_back(0);
    }
    const std::vector<std::string> codes = {"sfff"};
    atomkit::frames::TableRequest request{file, offsets, natoms, layouts, codes, tasks, false, int_digits_limit};
    if (window == 0) return atomkit::frames::read_frame_table(request);
    std::vector<std::int64_t> ends(offsets.begin() + 1, offsets.end());
    ends.push_back(static_cast<std::int64_t>(file.size()));
    const int fd = memfd_create("table", 0);
    const std::size_t size = std::min(file_size, file.size());
    if (fd < 0 || write(fd, file.data(), size) != static_cast<ssize_t>(size)) std::abort();
    request.fd = fd;
    request.ends = ends;
    request.window = window;
    auto got = atomkit::frames::read_frame_table(request);
    close(fd);
    return got;
}

void test_files() {
    const std::vector<Case> cases = {
        {"1\na=1.5 n=2 s=x stress=\"1 2 3 4 5 6 7 8 9\" flag\nH 0 0 0\n1\na=2.5 n=3 s=y stress=\"1 2 3 4 5 6 7 8 9\" flag\nH 1 1 1\n",
         std::nullopt, "ritFb", 0, "00000"},
        {"0\na=1\n0\na=2.5\n0\na=-3\n", std::nullopt, "r", 0, "1"},
        {"0\na=x\n0\na=1\n", 1, "", 0, ""},
        {"0\na=[[1,2],[3,4]] b=1 c=99999999999999999999\n0\na=1 b=[x, y]\n", std::nullopt, "iid", 3, "000"},
        {"1\na=1\nH 0 0 0\n1\na=1\nH 0 0 zz\n", 1, "", 0, ""},
        {"0\na=1\n0\na=\"\xff\"\n", 1, "", 0, ""},
    };
    for (const Case& c : cases) {
        for (const auto [tasks, window] : {std::pair{1, 0}, {3, 0}, {1, 5}, {3, 5}}) {
            const auto got = read(c.file, tasks, 0, window);
            if (!harness::check(got.has_value() == !c.refused.has_value(), "read or refused", c.file)) continue;
            if (!got) {
                harness::check_equal(got.error().frame, *c.refused, "frame refused", c.file);
                continue;
            }
            std::string kinds, mixed;
            for (const auto& column : got->info) {
                kinds += kind_letter(column);
                mixed += column.mixed ? '1' : '0';
            }
            harness::check_equal(kinds, c.kinds, "info kinds", c.file);
            harness::check_equal(mixed, c.mixed, "integers among reals", c.file);
            harness::check_equal(got->loose.size(), c.loose, "values no column keeps", c.file);
        }
    }
}

// A nested Lattice is typed as a flat one, and makes its frame periodic.
void test_nested_lattice() {
    const auto got = read("0\nLattice=[[1,0,0],[0,1,0],[0,0,1]]\n0\nx=1\n", 1);
    if (!harness::check(got.has_value(), "read", "nested lattice")) return;
    harness::check(got->pbc == std::vector<std::uint8_t>{1, 1, 1, 0, 0, 0}, "pbc", "nested lattice");
    harness::check(got->has_lattice == std::vector<std::uint8_t>{1, 0}, "has_lattice", "nested lattice");
    harness::check(got->lattice[4] == 1.0 && got->lattice[8] == 1.0, "lattice", "nested lattice");
}

// An info integer of more digits than int() takes refuses its frame's comment line.
void test_int_digit_limit() {
    const auto got = read("0\na=12345\n0\na=123456\n", 1, 5);
    if (!harness::check(!got.has_value(), "refused", "digit limit")) return;
    harness::check_equal(got.error().frame, std::size_t{1}, "frame", "digit limit");
    harness::check(got.error().kind == atomkit::frames::RefusalKind::comment, "kind", "digit limit");
}

// A bad atom line's row is counted within its frame, not among its layout's rows, and the
// line it names is the frame's; whatever the split.
void test_atom_refusal_names_the_frames_row() {
    const std::string file = "1\na=1\nH 0 0 0\n2\na=2\nH 0 0 0\nH 0 0 zz\n1\na=3\nH 0 0 0\n";
    for (const std::size_t tasks : {1, 2, 3}) {
        const auto got = read(file, tasks);
        if (!harness::check(!got.has_value(), "refused", "bad atom line")) continue;
        const auto& refusal = got.error();
        harness::check_equal(refusal.frame, std::size_t{1}, "frame", "bad atom line");
        harness::check(refusal.kind == atomkit::frames::RefusalKind::atoms, "kind", "bad atom line");
        harness::check_equal(refusal.message.substr(0, 24), std::string("row 1: cannot parse \"zz\""), "message",
                             "bad atom line");
        harness::check_equal(refusal.line_start, file.find("H 0 0 zz"), "line start", "bad atom line");
    }
}

// A file shorter than its frames (cut short since its scan) refuses the first frame it no
// longer holds whole, as unread.
void test_file_cut_short() {
    const std::string file = "1\na=1\nH 0 0 0\n1\na=2\nH 0 0 0\n1\na=3\nH 0 0 0\n";
    for (const std::size_t tasks : {1, 3}) {
        const auto got = read(file, tasks, 0, 4, file.size() - 1);
        if (!harness::check(!got.has_value(), "refused", "cut short")) continue;
        harness::check_equal(got.error().frame, std::size_t{2}, "frame", "cut short");
        harness::check(got.error().kind == atomkit::frames::RefusalKind::unread, "kind", "cut short");
    }
}

}  // namespace

int main() {
    test_file_cut_short();
    test_files();
    test_atom_refusal_names_the_frames_row();
    test_nested_lattice();
    test_int_digit_limit();
    return harness::finish();
}
