// Native tests of the reader's reads: info columns (kinds, integers among reals, values no
// column keeps, keys whose type changes kept loose), frames refused (the read ending there, or
// left out with no token, species or key of theirs remaining), rows named within their frame,
// a nested Lattice, the digit limit, reads on one thread and three and in waves, and a read
// stopped between waves. Each read from memory and from a file.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader_support.hpp"

namespace {

using atomkit::CommentValueKind;
using namespace support;

char kind_letter(const atomkit::frames::InfoColumn& column) {
    switch (column.kind) {
        case CommentValueKind::real: return 'r';
        case CommentValueKind::integer: return 'i';
        case CommentValueKind::boolean: return 'b';
        case CommentValueKind::text: return 't';
        case CommentValueKind::float_array: return 'F';
        case CommentValueKind::deferred: return column.all_loose ? 'L' : 'd';
        default: return '?';
    }
}

// `text` read whole from memory, and from a file on `threads` threads in waves of a few bytes:
// both runs must agree; the memory one is returned.
RunTable read(const std::string& text, bool keep_going_past, std::size_t threads = 1, std::size_t digits = 0) {
    ReaderOptions made = options(threads);
    made.int_digits_limit = digits;
    FrameReader memory = FrameReader::over_memory(text, made);
    scanned(memory);
    RunTable run = read_all(memory, keep_going_past);
    made.wave_bytes = 16;
    const int fd = file_of(text);
    auto file = FrameReader::over_file(fd, made);
    scanned(*file);
    harness::check_equal(fuzz::run_difference(read_all(*file, keep_going_past), run), std::string(),
                         "a file read in waves", text);
    close(fd);
    return run;
}

void test_info_columns() {
    struct Case {
        std::string text;
        std::optional<std::size_t> refused;  // the frame the read ends at, or none
        std::string kinds;  // per info column: r real, i int, b bool, t text, F float array, d loose values only, L all loose
        std::size_t loose = 0;  // values no column keeps
        std::string mixed;      // per info column: 1 where integers sit among reals
    };
    const std::vector<Case> cases = {
        {"1\na=1.5 n=2 s=x stress=\"1 2 3 4 5 6 7 8 9\" flag\nH 0 0 0\n1\na=2.5 n=3 s=y stress=\"1 2 3 4 5 6 7 8 9\" flag\nH 1 1 1\n",
         std::nullopt, "ritFb", 0, "00000"},
        {"0\na=1\n0\na=2.5\n0\na=-3\n", std::nullopt, "r", 0, "1"},
        {"0\na=x\n0\na=1\n0\na=T\n", std::nullopt, "L", 3, "0"},
        {"0\na=1 v=\"1 2\"\n0\na=2 v=\"1 2 3\"\n", std::nullopt, "iL", 2, "00"},
        {"0\na=[[1,2],[3,4]] b=1 c=99999999999999999999\n0\na=1 b=[x, y]\n", std::nullopt, "iid", 3, "000"},
        {"1\na=1\nH 0 0 0\n1\na=1\nH 0 0 zz\n", 1, "i", 0, "0"},
        {"0\na=1\n0\na=\"\xff\"\n", 1, "i", 0, "0"},
    };
    for (const Case& c : cases) {
        for (const std::size_t threads : {1, 3}) {
            const RunTable run = read(c.text, false, threads);
            harness::check(run.refusals.empty() == !c.refused, "read or refused", c.text);
            if (c.refused) harness::check_equal(run.refusals[0].frame, *c.refused, "frame refused", c.text);
            std::string kinds, mixed;
            for (const auto& column : run.info) {
                kinds += kind_letter(column);
                mixed += column.mixed ? '1' : '0';
            }
            harness::check_equal(kinds, c.kinds, "info kinds", c.text);
            harness::check_equal(mixed, c.mixed, "integers among reals", c.text);
            harness::check_equal(run.loose.size(), c.loose, "loose values", c.text);
        }
    }
    // A key whose type changes gives every value back as written, in frame order.
    const RunTable run = read("0\na=x\n0\na=1\n0\nb=2\n0\na=T\n", false);
    std::vector<std::pair<std::size_t, CommentValueKind>> loose;
    for (const auto& value : run.loose) loose.emplace_back(value.frame, value.value.kind);
    harness::check(loose == std::vector<std::pair<std::size_t, CommentValueKind>>{{0, CommentValueKind::text},
                                                                               {1, CommentValueKind::integer},
                                                                               {3, CommentValueKind::boolean}},
                   "loose values", "type change");
}

// A nested Lattice is typed as a flat one and makes its frame periodic; pbc given is kept.
void test_cells() {
    const RunTable run = read("0\nLattice=[[1,0,0],[0,1,0],[0,0,1]]\n0\nx=1\n0\npbc=\"T F T\" Properties=a:R:1\n", false);
    harness::check(run.pbc == std::vector<std::uint8_t>{1, 1, 1, 0, 0, 0, 1, 0, 1}, "pbc", "cells");
    harness::check(run.has_lattice == std::vector<std::uint8_t>{1, 0, 0}, "has_lattice", "cells");
    harness::check(run.has_pbc == std::vector<std::uint8_t>{0, 0, 1}, "has_pbc", "cells");
    harness::check(run.has_properties == std::vector<std::uint8_t>{0, 0, 1}, "has_properties", "cells");
    harness::check(run.lattice[4] == 1.0 && run.lattice[8] == 1.0, "lattice", "cells");
}

// An info integer of more digits than int() takes refuses its frame's comment line.
void test_int_digit_limit() {
    const RunTable run = read("0\na=12345\n0\na=123456\n", false, 1, 5);
    harness::check(run.frames.size() == 1 && run.refusals.size() == 1 && run.refusals[0].frame == 1 &&
                       run.refusals[0].kind == RefusalKind::comment && run.refusals[0].comment_error &&
                       run.refusals[0].comment_error->kind == atomkit::CommentErrorKind::int_digits,
                   "refused", "digit limit");
}

// A bad atom line's row is counted within its frame, its line and token named, whatever the split.
void test_atom_refusal() {
    const std::string text = "1\na=1\nH 0 0 0\n2\na=2\nH 0 0 0\nH 0 zz 0\n1\na=3\nH 0 0 0\n1\na=4\nH 0 0 0 9\n";
    for (const std::size_t threads : {1, 2, 3}) {
        const RunTable run = read(text, true, threads);
        if (!harness::check(run.refusals.size() == 2, "refused", "bad atom lines")) continue;
        const Refusal& refusal = run.refusals[0];
        harness::check(refusal.frame == 1 && refusal.kind == RefusalKind::atoms && refusal.in_line, "frame", "bad atom line");
        harness::check_equal(refusal.message.substr(0, 24), std::string("row 1: cannot parse \"zz\""), "message", "bad atom line");
        harness::check(refusal.row == 1 && refusal.line == 7 && refusal.column == 2 && refusal.text == "H 0 zz 0",
                       "row, line, column, text", "bad atom line");
        const Refusal& strict = run.refusals[1];
        harness::check(strict.message == "row 0: expected 4 tokens, found 5" && strict.line == 13 && strict.column == 4,
                       "a line with a token too many", "strict");
    }
}

// A token refused in one frame is refused again in the next: no check is skipped for a repeat
// of a token whose frame was left out.
void test_refused_token_again() {
    const std::string text = "1\nx\n\xff 0 0 0\n1\nx\nH 0 0 0\n1\nx\n\xff 0 0 0\n";
    const RunTable run = read(text, true);
    harness::check(run.frames == std::vector<std::int64_t>{1} && run.refusals.size() == 2 &&
                       run.refusals[1].message.find("invalid UTF-8") != std::string::npos,
                   "refused twice", "a bad token twice");
}

// Frames refused are left out, nothing of theirs kept; or the read ends at the first.
void test_refused_left_out() {
    const std::string text =
        "2\nProperties=species:S:1:pos:R:3 a=1\nH 0 0 0\nC 0 0 0\n"
        "2\nProperties=species:S:1:pos:R:3 bad=1 a=2\nZz 0 0 0\nXx 0 0 y\n"  // atoms
        "1\nProperties=species:S:1:pos:R:3:tag:S:1 a=3\nO 0 0 0 t1\n"        // a layout of its own
        "1\nProperties=species:S:1:pos:R:3 a=\"4\nYy 0 0 0\n"                  // comment
        "1\nProperties=species:S:1:pos:R:3:tag:S:1 a=5\nQq 0 0 0 t2 extra\n"  // strict
        "1\nProperties=pos:W:3 worse=1\n1 2 3\n"                             // Properties
        "1\nProperties=species:S:1:pos:R:3 a=6\nH 1 1 1\n";
    for (const std::size_t threads : {1, 3}) {
        const RunTable run = read(text, true, threads);
        harness::check(run.frames == std::vector<std::int64_t>{0, 2, 6}, "frames kept", "left out");
        std::vector<RefusalKind> kinds;
        for (const Refusal& refusal : run.refusals) kinds.push_back(refusal.kind);
        harness::check(kinds == std::vector<RefusalKind>{RefusalKind::atoms, RefusalKind::comment, RefusalKind::atoms,
                                                         RefusalKind::comment},
                       "refusals in frame order", "left out");
        harness::check(run.atoms.size() == 2 && run.atoms[0].atoms.natoms == 3 && run.atoms[1].atoms.natoms == 1,
                       "rows kept", "left out");
        harness::check(tokens(run.atoms[0].atoms.strs[0]) == std::vector<std::string>{"H", "C"} &&
                           tokens(run.atoms[1].atoms.strs[0]) == std::vector<std::string>{"O"} &&
                           tokens(run.atoms[1].atoms.strs[1]) == std::vector<std::string>{"t1"},
                       "no token of a frame left out", "left out");
        harness::check(run.atoms[0].atoms.floats[8] == 1.0, "rows moved up", "left out");
        harness::check(run.info.size() == 1 && run.info[0].key == "a" && run.info[0].ints == std::vector<std::int64_t>{1, 3, 6},
                       "no key of a frame left out", "left out");
        const RunTable first = read(text, false, threads);
        harness::check(first.frames == std::vector<std::int64_t>{0} && first.refusals.size() == 1 &&
                           first.atoms.size() == 1 && first.atoms[0].atoms.natoms == 2 &&
                           tokens(first.atoms[0].atoms.strs[0]) == std::vector<std::string>{"H", "C"} &&
                           first.info[0].ints == std::vector<std::int64_t>{1},
                       "the read ends at the first refusal", "ends");
    }
}

// A read stopped between waves holds the frames of the waves before.
void test_read_cancelled() {
    std::string text;
    for (int k = 0; k < 20; ++k) text += "1\na=" + std::to_string(k) + "\nH 0 0 0\n";
    ReaderOptions made = options();
    made.wave_bytes = 40;
    FrameReader reader = FrameReader::over_memory(text, made);
    scanned(reader);
    std::vector<std::int64_t> frames(20);
    for (int k = 0; k < 20; ++k) frames[static_cast<std::size_t>(k)] = k;
    int asked = 0;
    const auto outcome = reader.read(frames, false, [&] { return ++asked < 3; });
    harness::check(outcome && outcome->cancelled && asked == 3, "cancelled on the third question", "waves");
    harness::check(outcome && outcome->run.frames.size() == 9 && outcome->run.info[0].ints.size() == 9 &&
                       outcome->run.atoms[0].atoms.natoms == 9 && outcome->run.atoms[0].atoms.strs[0].size() == 9,
                   "the frames of three waves", "waves");
}

}  // namespace

int main() {
    test_info_columns();
    test_cells();
    test_int_digit_limit();
    test_atom_refusal();
    test_refused_token_again();
    test_refused_left_out();
    test_read_cancelled();
    return harness::finish();
}
