// Native tests of the frame scanner: the count-line grammar (Python's int() of bytes), the
// Properties value of comment lines, the line-feed kernels, and a table of small files with
// the frames or the failure each gives, scanned in one window and in windows split anywhere.
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/frames/count_line.hpp"
#include "core/frames/frame_scan.hpp"
#include "core/frames/line_feeds.hpp"
#include "core/frames/properties_value.hpp"
#include "harness.hpp"

namespace {

using atomkit::frames::FailureKind;
using atomkit::frames::FrameRecord;
using atomkit::frames::ScanState;
using atomkit::frames::StopKind;

// ---- the count line ---------------------------------------------------------------------

void test_count_lines() {
    struct Case {
        std::string line;
        std::optional<std::uint64_t> natoms;
    };
    const std::string many_digits(atomkit::frames::max_count_digits, '0');
    const std::vector<Case> cases = {
        {"5", 5}, {"5\r", 5}, {" 5 ", 5}, {"+5", 5}, {"-0", 0}, {"+0", 0}, {"007", 7}, {"1_0", 10},
        {"0_0", 0}, {"\x0b\x0c" "12\t\r", 12}, {"123456789012345678", 123456789012345678},
        {"1234567890123456789", 1234567890123456789}, {"99999999999999999999999", atomkit::frames::max_natoms},
        {"4611686018427387904", atomkit::frames::max_natoms}, {"4611686018427387903", 4611686018427387903},
        {many_digits, 0}, {many_digits.substr(1) + "7", 7},
        // What int() refuses, or a negative count.
        {"", std::nullopt}, {" ", std::nullopt}, {"\r", std::nullopt}, {"-1", std::nullopt}, {"- 5", std::nullopt},
        {"1__0", std::nullopt}, {"_1", std::nullopt}, {"1_", std::nullopt}, {"+_1", std::nullopt},
        {"++5", std::nullopt}, {"+-5", std::nullopt}, {"5.", std::nullopt}, {"0x5", std::nullopt},
        {std::string("5\0", 2), std::nullopt}, {"\x1c" "5", std::nullopt}, {"\xEF\xBB\xBF" "5", std::nullopt},
        {"5 5", std::nullopt}, {"x", std::nullopt}, {many_digits + "1", std::nullopt},
        {"-99999999999999999999999", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto got = atomkit::frames::read_count_line(c.line);
        if (harness::check(got.has_value() == c.natoms.has_value(), "count read or refused", c.line) && got) {
            harness::check_equal(static_cast<std::int64_t>(*got), static_cast<std::int64_t>(*c.natoms), "count", c.line);
        }
    }
}

// ---- the Properties of comment lines ----------------------------------------------------

void test_properties_values() {
    const std::string plain(atomkit::frames::plain_xyz_properties);
    struct Case {
        std::string line;
        std::optional<std::string> value;  // nullopt: left to Python
    };
    // Each line is asked after the one before, so that lines like it take the shortcut.
    const std::vector<Case> cases = {
        {"", plain},
        {"just a comment", plain},
        {"Properties=species:S:1:pos:R:3 energy=1", "species:S:1:pos:R:3"},
        {"Properties=species:S:1:pos:R:3 energy=2", "species:S:1:pos:R:3"},
        {"Properties=species:S:1:pos:R:3:q:R:1", "species:S:1:pos:R:3:q:R:1"},
        {"Properties=species:S:1:pos:R:3\r", "species:S:1:pos:R:3"},
        {"Properties=species:S:1:pos:R:3\x1cq=1", "species:S:1:pos:R:3"},
        {R"(Lattice="1 0 0 0 1 0 0 0 1" Properties=a:R:1 pbc="T T T")", "a:R:1"},
        {R"(Lattice="2 0 0 0 2 0 0 0 2" Properties=a:R:1 pbc="T T T")", "a:R:1"},
        {R"(Lattice="2 0 0 0 2 0 0 0 2" Properties=a:R:1:b:I:1)", "a:R:1:b:I:1"},
        {R"(L="a\" Properties=q:R:1 z" Properties=a:R:1)", "a:R:1"},
        {"energy=-1.5 PROPERTIES=pos:R:3", "pos:R:3"},
        {"energy=-1.5 pbc=\"T T F\"", plain},
        {"Properties = x:R:1", "x:R:1"},
        {R"("Properties"=x:R:1)", "x:R:1"},
        {R"(Properties="species:S:1:pos:R:3")", "species:S:1:pos:R:3"},
        {R"(a="x Properties=q:R:1")", plain},
        {"c={x Properties=q:R:1 y} Properties=z:R:1", "z:R:1"},
        {"k=\xC3\xA9 Properties=u:R:1", "u:R:1"},
        {"\xC3\xA9 no equals", plain},
        // Lines only Python can answer: not UTF-8, or refused by the parser.
        {"k=\xE9 Properties=u:R:1", std::nullopt},
        // Lines the reader refuses but that seem to name a value, as PropertiesNames answers them.
        {"Properties=a:R:1 Properties=b:R:1", "a:R:1"},
        {"Lattice=\"1 2\" Properties=q:R:1", "q:R:1"},
        {R"(a="open Properties=q:R:1)", std::nullopt},
        {"\xC3\xA9=1 Lattice=\"1 2\" Properties=q:R:1", std::nullopt},
    };
    atomkit::frames::PropertiesFinder finder;
    for (const Case& c : cases) {
        const auto got = finder.find(c.line);
        if (harness::check(got.has_value() == c.value.has_value(), "value found or left to Python", c.line) && got) {
            harness::check_equal(std::string(*got), *c.value, "Properties value", c.line);
        }
    }
}

// ---- the line-feed kernels --------------------------------------------------------------

void test_line_feed_kernels() {
    std::mt19937_64 random(7);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t size = random() % 300;
        const unsigned density = 1 + static_cast<unsigned>(random() % 40);
        std::string data(size, 'x');
        std::vector<std::size_t> feeds;
        for (std::size_t i = 0; i < size; ++i) {
            if (random() % density == 0) {
                data[i] = '\n';
                feeds.push_back(i);
            }
        }
        const std::uint64_t wanted = 1 + random() % (feeds.size() + 2);
        const std::string label = "size " + std::to_string(size) + " wanted " + std::to_string(wanted);
        for (const auto kernel : atomkit::frames::line_feed_kernels) {
            if (!atomkit::frames::line_feed_kernel_supported(kernel)) continue;
            const auto got = atomkit::frames::find_line_feed_with(kernel, data.data(), size, wanted);
            const std::string what = std::string(atomkit::frames::line_feed_kernel_name(kernel)) + " kernel";
            if (wanted <= feeds.size()) {
                harness::check(got.at == feeds[wanted - 1] && got.count == wanted, what + " finds the line feed", label);
            } else {
                harness::check(got.at == atomkit::frames::no_line_feed && got.count == feeds.size(),
                               what + " counts the line feeds", label);
            }
        }
    }
}

// ---- files ------------------------------------------------------------------------------

// What a scan of a whole file gave.
struct Outcome {
    std::vector<FrameRecord> frames;
    bool failed = false;
    FailureKind failure = FailureKind::bad_count;
    std::uint64_t failure_offset = 0;
    std::uint64_t failure_stop = 0;
    std::uint64_t failure_lineno = 0;
    std::vector<std::string> asked;  // the comment lines whose layout the scan asked for

    bool operator==(const Outcome&) const = default;
};

std::string describe(const Outcome& outcome) {
    std::string text;
    for (const FrameRecord& f : outcome.frames) {
        text += "(" + std::to_string(f.offset) + "," + std::to_string(f.natoms) + "," + std::to_string(f.lineno) + "," +
                std::to_string(f.layout) + ")";
    }
    if (outcome.failed) {
        text += " failure " + std::to_string(static_cast<int>(outcome.failure)) + " at " +
                std::to_string(outcome.failure_offset) + ".." + std::to_string(outcome.failure_stop) + " line " +
                std::to_string(outcome.failure_lineno);
    }
    return text;
}

// Scans `file` as the package does: windows read from where the scan stopped, `next_size`
// bytes long, read twice as long when the scan could not move; comment lines answered with
// layouts numbered by first appearance (those Python alone decides under "?" and the line).
template <class NextSize>
Outcome scan_file(std::string_view file, std::uint64_t line_limit, NextSize next_size, bool comments = true) {
    Outcome outcome;
    ScanState state;
    state.size = file.size();
    state.line_limit = line_limit;
    atomkit::frames::KnownLayouts known;
    std::map<std::string, std::int64_t> numbers;
    std::uint64_t offset = 0;
    std::size_t length = 0;
    for (int calls = 0; calls < 1000000; ++calls) {
        const auto stop = atomkit::frames::scan_frames(file.substr(offset, length), offset, state,
                                                       comments ? &known : nullptr, outcome.frames);
        switch (stop.kind) {
            case StopKind::more: {
                const bool stuck = state.position == offset && length > 0;
                const std::size_t left = file.size() - state.position;
                std::size_t want = stuck ? 2 * length : std::max<std::size_t>(next_size(), 1);
                if (stuck && length == left) {
                    harness::check(false, "a window of the rest of the file moves the scan", file);
                    return outcome;
                }
                offset = state.position;
                length = std::min(want, left);
                break;
            }
            case StopKind::done:
                return outcome;
            case StopKind::comment: {
                const std::string line(file.substr(offset + stop.line_begin, stop.line_end - stop.line_begin));
                outcome.asked.push_back(line);
                const std::string key = stop.candidate ? *stop.candidate : "?" + line;
                const auto [entry, added] = numbers.try_emplace(key, static_cast<std::int64_t>(numbers.size()));
                (void)added;
                if (stop.candidate) known.add(*stop.candidate, entry->second);
                state.layout = entry->second;
                break;
            }
            case StopKind::failure:
                outcome.failed = true;
                outcome.failure = stop.failure;
                outcome.failure_offset = stop.frame_offset;
                outcome.failure_stop = stop.frame_stop;
                outcome.failure_lineno = stop.lineno;
                return outcome;
        }
    }
    harness::check(false, "the scan ends", file);
    return outcome;
}

Outcome scan_whole(std::string_view file, std::uint64_t line_limit, bool comments = true) {
    return scan_file(file, line_limit, [&] { return file.size(); }, comments);
}

// The offset of file line `lineno` (from 1).
std::int64_t line_offset(std::string_view file, std::int64_t lineno) {
    std::size_t offset = 0;
    for (std::int64_t line = 1; line < lineno; ++line) offset = file.find('\n', offset) + 1;
    return static_cast<std::int64_t>(offset);
}

constexpr std::uint64_t no_limit = std::uint64_t{1} << 40;
const std::string bom = "\xEF\xBB\xBF";

struct FileCase {
    std::string name;
    std::string file;
    // (count-line number, atoms, layout) per frame; the offset is that line's, past a BOM.
    std::vector<std::array<std::int64_t, 3>> frames;
    std::optional<FailureKind> failure = std::nullopt;
    std::int64_t failure_lineno = 0;  // the count line, or the long line
    std::uint64_t line_limit = no_limit;
};

std::vector<FileCase> file_cases() {
    const std::string frame = "2\nProperties=species:S:1:pos:R:3\nH 0 0 0\nO 1 1 1\n";
    const std::string other = "1\nProperties=species:S:1:pos:R:3:q:I:1 e=1\nH 0 0 0 1\n";
    const std::string digits(4301, '1');
    return {
        {"empty file", "", {}},
        {"one frame", frame, {{1, 2, 0}}},
        {"two layouts and back", frame + other + frame, {{1, 2, 0}, {5, 1, 1}, {8, 2, 0}}},
        {"bom", bom + "1\nx\nH 0 0 0\n", {{1, 1, 0}}},
        {"bom then blank lines", bom + " \n\n1\nx\nH 0 0 0\n", {{3, 1, 0}}},
        {"bom alone", bom, {}},
        {"a bom's start", "\xEF\xBB", {}, FailureKind::bad_count, 1},
        {"bom twice", bom + bom + "1\nx\nH\n", {}, FailureKind::bad_count, 1},
        {"blank lines", "\n \t\n" + frame + "\r\n\x0b\x0c\n\n" + other + "  ", {{3, 2, 0}, {10, 1, 1}}},
        {"crlf", "1\r\nProperties=pos:R:3\r\n1 2 3\r\n\r\n1\r\nProperties=pos:R:3 a=1\r\n4 5 6\r\n",
         {{1, 1, 0}, {5, 1, 0}}},
        {"frames without atoms", "0\n\n0\ncomment=x\n0\n", {{1, 0, 0}, {3, 0, 0}, {5, 0, 0}}},
        {"no atoms, the comment line ends the file", "0\nabc", {{1, 0, 0}}},
        {"count line ends the file", "0", {}, FailureKind::no_comment, 1},
        {"count line ends the file after a frame", frame + "3", {{1, 2, 0}}, FailureKind::no_comment, 5},
        {"last atom line without line feed", "1\nx\nH 0 0 0", {{1, 1, 0}}},
        {"ends inside", frame + "2\nx\nH\n", {{1, 2, 0}}, FailureKind::ends_inside, 5},
        {"ends after the comment line", "1\nx\n", {}, FailureKind::ends_inside, 1},
        {"ends on the comment line", "1\nx", {}, FailureKind::ends_inside, 1},
        {"count line without count", frame + "foo\n" + frame, {{1, 2, 0}}, FailureKind::bad_count, 5},
        {"negative count", "-1\n\n", {}, FailureKind::bad_count, 1},
        {"count of 4301 digits", digits + "\nx\n", {}, FailureKind::bad_count, 1},
        {"count past 2^62", "99999999999999999999999\nx\nH\n", {}, FailureKind::ends_inside, 1},
        {"count with sign, spaces, underscores", " +1_0 \r\nx\n" + std::string(10, '\n'), {{1, 10, 0}}},
        {"atom lines of the next frame's count", "1\nx\n1\n1\nx\n1\n", {{1, 1, 0}, {4, 1, 0}}},
        {"not UTF-8", "1\nk=\xE9 Properties=u:R:1\nH\n1\nk=\xE9 Properties=u:R:1\nH\n", {{1, 1, 0}, {4, 1, 0}}},
        {"refused comment line", "1\na=1 a=2\nH\n1\nProperties=x:R:1\nH\n", {{1, 1, 0}, {4, 1, 1}}},
        // Lines longer than the limit (8 bytes): wherever they are, in the order read meets them.
        {"long atom line", "1\nx\n" + std::string(20, 'H') + "\n", {}, FailureKind::long_line, 3, 8},
        {"long last line", "1\nx\nH\n" + std::string(9, ' '), {{1, 1, 0}}, FailureKind::long_line, 4, 8},
        {"line of the limit", "1\nx\n" + std::string(8, 'H') + "\n" + std::string(8, ' '), {{1, 1, 0}}, std::nullopt, 0, 8},
        {"long count line", "1" + std::string(20, ' ') + "\nx\nH\n", {}, FailureKind::long_line, 1, 8},
        {"long blank line", "\n" + std::string(20, ' ') + "\n1\nx\nH\n", {}, FailureKind::long_line, 2, 8},
        {"long comment line", "1\n" + std::string(9, 'c') + "\nH\n", {}, FailureKind::long_line, 2, 8},
        {"long line after a bad count", "x\n" + std::string(20, 'y') + "\n", {}, FailureKind::bad_count, 1, 8},
        {"long line inside a frame that ends inside", "9\nx\nH\n" + std::string(20, 'y'), {},
         FailureKind::long_line, 4, 8},
        {"long line past the end of a bad frame", "1\nx\nH\n-3\n" + std::string(20, 'y'), {{1, 1, 0}},
         FailureKind::bad_count, 4, 8},
        {"long line after a bom", bom + std::string(6, ' ') + "\n1\nx\nH\n", {}, FailureKind::long_line, 1, 8},
        {"a bom alone past the limit", bom, {}, FailureKind::long_line, 1, 2},
    };
}

void check_file_case(const FileCase& c) {
    Outcome want;
    // A count line's offset: its line's, past a BOM.
    auto count_offset = [&c](std::int64_t lineno) {
        return lineno == 1 && c.file.starts_with(bom) ? static_cast<std::int64_t>(bom.size()) : line_offset(c.file, lineno);
    };
    for (const auto& [lineno, natoms, layout] : c.frames) want.frames.push_back({count_offset(lineno), natoms, lineno, layout});
    const Outcome got = scan_whole(c.file, c.line_limit);
    harness::check_equal(describe(Outcome{got.frames}), describe(want), "frames", c.name);
    harness::check(got.failed == c.failure.has_value(), "failure or none", c.name);
    if (got.failed && c.failure) {
        harness::check(got.failure == *c.failure, "failure kind", c.name);
        harness::check_equal(static_cast<std::int64_t>(got.failure_lineno), c.failure_lineno, "failure line", c.name);
        if (got.failure != FailureKind::long_line) {
            harness::check_equal(static_cast<std::int64_t>(got.failure_offset), count_offset(c.failure_lineno),
                                 "failing frame's offset", c.name);
            const bool count_only = got.failure == FailureKind::bad_count;
            const std::size_t count_end = c.file.find('\n', static_cast<std::size_t>(got.failure_offset));
            const std::uint64_t stop = count_only && count_end != std::string::npos ? count_end + 1 : c.file.size();
            harness::check_equal(static_cast<std::int64_t>(got.failure_stop), static_cast<std::int64_t>(stop),
                                 "failing frame's bytes", c.name);
        }
    }
    // Without comment lines read: the same frames, every layout -1, no question asked.
    Outcome unread = scan_whole(c.file, c.line_limit, false);
    for (FrameRecord& f : want.frames) f.layout = -1;
    harness::check_equal(describe(unread), describe(Outcome{want.frames, got.failed, got.failure, got.failure_offset,
                                                             got.failure_stop, got.failure_lineno}),
                         "frames without comment lines read", c.name);
    harness::check(unread.asked.empty(), "no comment line asked about", c.name);

    // Windows that end at every byte, and windows of every small size: the same outcome.
    for (std::size_t first = 0; first <= c.file.size(); ++first) {
        std::size_t calls = 0;
        const Outcome split = scan_file(c.file, c.line_limit, [&] { return calls++ == 0 ? first : c.file.size(); });
        if (!harness::check(split.frames == got.frames && split.failed == got.failed && split.failure == got.failure &&
                                split.failure_lineno == got.failure_lineno && split.failure_offset == got.failure_offset,
                            "a window ending at byte " + std::to_string(first) + " changes nothing", c.name)) {
            std::printf("     got:  %s\n     want: %s\n", describe(split).c_str(), describe(got).c_str());
            break;
        }
    }
    for (std::size_t size = 1; size <= std::min<std::size_t>(c.file.size(), 24); ++size) {
        const Outcome small = scan_file(c.file, c.line_limit, [&] { return size; });
        if (!harness::check(small.frames == got.frames && small.failed == got.failed && small.failure == got.failure &&
                                small.failure_lineno == got.failure_lineno,
                            "windows of " + std::to_string(size) + " bytes change nothing", c.name)) {
            std::printf("     got:  %s\n     want: %s\n", describe(small).c_str(), describe(got).c_str());
            break;
        }
    }
}

void test_files() {
    for (const FileCase& c : file_cases()) check_file_case(c);
}

// A layout learnt stops the questions: comment lines with a known value are not asked about.
void test_questions() {
    std::string file;
    for (int k = 0; k < 50; ++k) {
        file += "1\nLattice=\"" + std::to_string(k) + " 0 0 0 1 0 0 0 1\" Properties=species:S:1:pos:R:3 e=" +
                std::to_string(k) + "\nH 0 0 0\n";
        if (k % 10 == 9) file += "1\nk=\xE9\nH\n";  // asked each time
    }
    const Outcome got = scan_whole(file, no_limit);
    harness::check_equal(static_cast<std::int64_t>(got.frames.size()), std::int64_t{55}, "frames", "questions");
    harness::check_equal(static_cast<std::int64_t>(got.asked.size()), std::int64_t{6}, "questions asked", "questions");
}

// A state that does not fit its window is refused by state_misfit.
void test_state_misfits() {
    ScanState state;
    state.size = 10;
    state.line_limit = 100;
    harness::check(atomkit::frames::state_misfit(state, 0, 10).empty(), "a fresh state fits", "fresh");
    harness::check(!atomkit::frames::state_misfit(state, 0, 11).empty(), "a window past the end", "past the end");
    state.position = 5;
    harness::check(!atomkit::frames::state_misfit(state, 6, 4).empty(), "a position before the window", "before");
    harness::check(!atomkit::frames::state_misfit(state, 0, 4).empty(), "a position after the window", "after");
    state.line_start = 6;
    harness::check(!atomkit::frames::state_misfit(state, 0, 10).empty(), "a line that starts later", "line start");
    state.line_start = 0;
    state.phase = atomkit::frames::ScanPhase::atoms;
    harness::check(!atomkit::frames::state_misfit(state, 0, 10).empty(), "atoms phase with no line left", "atoms");
    state.lines_left = 1;
    harness::check(atomkit::frames::state_misfit(state, 0, 10).empty(), "atoms phase", "atoms");
    state.lineno = 0;
    harness::check(!atomkit::frames::state_misfit(state, 0, 10).empty(), "line 0", "line 0");
}

}  // namespace

int main() {
    test_count_lines();
    test_properties_values();
    test_line_feed_kernels();
    test_files();
    test_questions();
    test_state_misfits();
    return harness::finish();
}
