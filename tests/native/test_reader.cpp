// Native tests of the frame reader's scan: the Properties grammar, one text scanned as memory,
// a file and a stream fed in pieces of every size (the same frames, layouts and failure), scans
// with a limit taken in steps, a large file scanned in parts against one scan, the failures a
// scan ends with (a frame before a bad count line that is refused itself, a comment line of a
// frame the source ends inside), a stream's bytes let go, a file changed or closed under the
// reader, and a scan stopped by keep_going.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/reader/byte_source.hpp"
#include "core/reader/scan_parts.hpp"
#include "reader_support.hpp"

namespace {

using atomkit::reader::PropertiesErrorKind;
using namespace support;

void test_properties() {
    struct Case {
        std::string value;
        std::string col_types;               // when read
        std::optional<PropertiesErrorKind> error;
        std::string name, text;              // what the error names and quotes
    };
    const std::vector<Case> cases = {
        {"species:S:1:pos:R:3", "sfff"},
        {"", ""},
        {"a:I:2:b:L:1:c:S:12", "iib" + std::string(12, 's')},
        {"\xc3\xa9t\xc3\xa9:R:1", "f"},  // any character but a few
        {"a:R", "", PropertiesErrorKind::triples},
        {"a:R:1:", "", PropertiesErrorKind::triples},
        {"a:R:1:a:I:1", "", PropertiesErrorKind::name, "", "a"},
        {"a b:R:1", "", PropertiesErrorKind::name, "", "a b"},
        {"a\xc2\xa0" "b:R:1", "", PropertiesErrorKind::name, "", "a\xc2\xa0" "b"},  // U+00A0 is a space
        {"a\xe3\x80\x80:R:1", "", PropertiesErrorKind::name, "", "a\xe3\x80\x80"},  // so is U+3000
        {"x:R:1:a[0]:R:1", "", PropertiesErrorKind::name, "", "a[0]"},
        {":R:1", "", PropertiesErrorKind::name, "", ""},
        {"a:r:1", "", PropertiesErrorKind::kind, "a", "r"},
        {"a:RR:1", "", PropertiesErrorKind::kind, "a", "RR"},
        {"a:R:0", "", PropertiesErrorKind::count, "a", "0"},
        {"a:R:01", "", PropertiesErrorKind::count, "a", "01"},
        {"a:R:+1", "", PropertiesErrorKind::count, "a", "+1"},
        {"a:R:\xd9\xa1", "", PropertiesErrorKind::count, "a", "\xd9\xa1"},  // a digit, not ASCII
        {"a:R:1:b:X:0", "", PropertiesErrorKind::kind, "b", "X"},  // the first bad field wins
        {"a:R:16777216:b:I:1", "", PropertiesErrorKind::count, "b", "1"},  // more columns than any line holds
    };
    for (const Case& c : cases) {
        const auto got = atomkit::reader::parse_properties(c.value);
        if (!harness::check(got.has_value() == !c.error, "read or refused", c.value)) continue;
        if (got) {
            harness::check_equal(got->col_types, c.col_types, "column codes", c.value);
            continue;
        }
        harness::check(got.error().kind == *c.error, "error kind", c.value);
        harness::check_equal(got.error().name, c.name, "error names", c.value);
        harness::check_equal(got.error().text, c.text, "error quotes", c.value);
    }
}

const std::string frame = "2\nProperties=species:S:1:pos:R:3 e=1\nH 0 0 0\nO 1 1 1\n";

// Texts good and bad, each scanned as every source gives the same.
std::vector<std::string> texts() {
    return {
        frame + frame,
        "\xEF\xBB\xBF" + frame + "\n \n" + frame,
        frame + "1\nProperties=species:S:1:pos:R:3:q:I:1\nH 0 0 0 5\n" + frame,
        frame + "1\nk=\xE9\nH 0 0 0\n1\na=\"1\nH 0 0 0\n" + frame,  // lines that cannot be read
        frame + "1\nProperties=pos:X:1\nH\n" + frame,
        frame + "0\nx\n0\n",
        frame + "2\nx\nH 0 0 0\nO",
        frame + "3\nx\nH 0 0 0\n",
        frame + "x\n" + frame,
        frame + "5",
        "3\nProperties=species:S:1:pos:R:3\nH 0 0 0\n1\nx\nH 0 0 0\n" + frame,
        frame + "1\nx\n" + std::string(300, 'H') + "\n",
    };
}

void test_sources_agree() {
    for (const std::string& text : texts()) {
        ReaderOptions made = options();
        made.line_limit = 200;
        FrameReader memory = FrameReader::over_memory(text, made);
        const Scanned want = scanned(memory);
        const int fd = file_of(text);
        auto file = FrameReader::over_file(fd, made);
        harness::check_equal(scanned(*file).difference(want), std::string(), "a file", text);
        for (std::size_t piece = 1; piece <= text.size(); piece += piece < 24 ? 1 : 17) {
            if (!harness::check_equal(stream_scanned(text, piece, made).difference(want), std::string(),
                                      "a stream in pieces of " + std::to_string(piece), text)) {
                break;
            }
        }
        FrameReader stepped = FrameReader::over_memory(text, made);
        for (std::size_t limit = 0; limit < 8; ++limit) scanned(stepped, limit);
        harness::check_equal(scanned(stepped).difference(want), std::string(), "a scan in steps", text);
        // Reads of every source, on one thread and three, give one run.
        const RunTable run = read_all(memory, true);
        made.threads = 3;
        made.wave_bytes = 40;
        auto threaded = FrameReader::over_file(fd, made);
        scanned(*threaded);
        harness::check_equal(fuzz::run_difference(read_all(*threaded, true), run), std::string(), "three threads", text);
        FrameReader stream = FrameReader::over_stream(made);
        stream.feed(text);
        stream.finish();
        scanned(stream);
        harness::check_equal(fuzz::run_difference(read_all(stream, true), run), std::string(), "a stream's read", text);
        close(fd);
    }
    const std::string spaced = frame + "\n\n" + frame;
    FrameReader two = FrameReader::over_memory(spaced, options());
    const Scanned got = scanned(two);
    harness::check(got.rows.size() == 2 && got.rows[0].end == static_cast<std::int64_t>(frame.size()) &&
                       got.rows[1].end == static_cast<std::int64_t>(2 * frame.size() + 2),
                   "a frame's bytes end past its last line", "two frames");
}

// The failures a scan ends with, on every source (a stream let go of its frames as it goes).
void test_scan_failures() {
    const std::string layout = "Properties=species:S:1:pos:R:3";
    struct Case {
        std::string name, text;
        std::size_t found;
        RefusalKind kind;
        std::size_t frame;
        std::uint64_t line;
        std::string text_quoted;
        std::uint64_t natoms = 0, lines_held = 0;
    };
    const std::vector<Case> cases = {
        {"a frame counting more atoms than it has", "3\n" + layout + "\nH 0 0 0\n1\nx\nH 0 0 0\n", 0,
         RefusalKind::atoms, 0, 4, "1"},
        {"the same before a count line the file ends on", "2\n" + layout + "\nH 0 0 0\n1\n5", 0, RefusalKind::atoms, 0, 4,
         "1"},
        {"a bad count line after a frame that reads", frame + " x y\n", 1, RefusalKind::count, 1, 5, " x y"},
        {"a count line the file ends on", frame + "7", 1, RefusalKind::no_comment, 1, 5, "7"},
        {"inside a frame whose comment line is refused", frame + "2\na=\"x\nH 0 0 0\n", 1, RefusalKind::comment, 1, 6,
         "a=\"x"},
        {"inside a frame whose Properties are refused", frame + "2\nProperties=a:Q:1\nH\n", 1, RefusalKind::comment, 1, 6,
         "Properties=a:Q:1"},
        {"inside a frame", frame + "3\nx\nH 0 0 0\nH 1", 1, RefusalKind::ends_inside, 1, 5, "3", 3, 2},
        {"inside a comment line", frame + "2\na=\"x", 1, RefusalKind::ends_inside, 1, 5, "2", 2, 0},
        {"a long line", frame + "1\nx\n" + std::string(300, 'H') + "\n", 1, RefusalKind::long_line, 1, 7, ""},
    };
    for (const Case& c : cases) {
        ReaderOptions made = options();
        made.line_limit = 200;
        std::vector<Scanned> got;
        FrameReader memory = FrameReader::over_memory(c.text, made);
        got.push_back(scanned(memory));
        FrameReader stream = FrameReader::over_stream(made);
        for (const char byte : c.text) {
            stream.feed({&byte, 1});
            if (!stream.scan(std::nullopt, {})) std::abort();
            stream.release(stream.first_held() + stream.rows().size());
        }
        stream.finish();
        const auto progress = stream.scan(std::nullopt, {});
        harness::check(progress && progress->complete && progress->found == c.found, "a stream's frames", c.name);
        got.push_back({{}, {}, progress ? progress->failure : std::nullopt});
        for (const Scanned& scan : got) {
            if (!harness::check(scan.failure.has_value(), "a failure", c.name)) continue;
            const Refusal& failure = *scan.failure;
            harness::check(failure.kind == c.kind && failure.fatal, "its kind, fatal", c.name);
            harness::check_equal(failure.frame, c.frame, "its frame", c.name);
            harness::check_equal(static_cast<std::int64_t>(failure.line), static_cast<std::int64_t>(c.line), "its line", c.name);
            harness::check_equal(failure.text, c.text_quoted, "what it quotes", c.name);
            harness::check(failure.natoms == c.natoms && failure.lines_held == c.lines_held, "the lines held", c.name);
        }
        harness::check_equal(got[0].rows.size(), c.found, "frames found", c.name);
    }
}

// A large text of frames of a few sizes, comment lines of digits among them.
std::string large_text(std::size_t frames) {
    std::string text;
    for (std::size_t k = 0; k < frames; ++k) {
        const std::size_t natoms = k % 4;
        text += std::to_string(natoms) + "\n" + (k % 3 == 0 ? "7" : "Properties=species:S:1:pos:R:3 k=" + std::to_string(k % 5)) + "\n";
        for (std::size_t a = 0; a < natoms; ++a) text += "H 0 0 " + std::to_string(a) + "\n";
        if (k % 7 == 0) text += "\n";
    }
    return text;
}

void test_parts() {
    const std::string clean = large_text(400);
    std::vector<std::string> files = {clean, std::string(clean).insert(clean.size() / 2, "x\n"),
                                      clean.substr(0, clean.size() * 2 / 3 + 3), std::string(clean).replace(clean.size() / 3, 1, "9")};
    std::string zeros;
    for (int k = 0; k < 600; ++k) zeros += "0\n5\n";  // every comment line looks like a count line
    files.push_back(zeros);
    for (const std::string& text : files) {
        const int fd = file_of(text);
        ReaderOptions made = options(3);
        made.parts_from = 2048;
        auto parted = FrameReader::over_file(fd, made);
        auto whole = FrameReader::over_file(fd, options());
        harness::check_equal(scanned(*parted).difference(scanned(*whole)), std::string(), "in parts as whole",
                             text.substr(0, 40));
        close(fd);
    }
    // A clean file is scanned in parts indeed.
    const auto source = atomkit::reader::ByteSource::over_memory(clean);
    atomkit::reader::LayoutBook book;
    std::vector<FrameRow> rows;
    const atomkit::reader::PartsRequest request{3, 1000, 512, 1 << 20, nullptr};
    harness::check(atomkit::reader::scan_in_parts(source, request, book, rows) == atomkit::reader::PartsEnd::done,
                   "scanned in parts", "clean");
    harness::check_equal(rows.size(), std::size_t{400}, "frames", "clean");
}

// A stream read and let go a frame at a time holds about a frame's bytes.
void test_release() {
    FrameReader stream = FrameReader::over_stream(options());
    std::size_t most = 0;
    for (int k = 0; k < 500; ++k) {
        stream.feed(frame);
        const auto progress = stream.scan(std::nullopt, {});
        if (!progress) std::abort();
        const RunTable run = read_all(stream, false);
        harness::check(run.frames.size() == 1 && run.refusals.empty(), "each frame read", "release");
        stream.release(progress->found);
        most = std::max(most, stream.held_bytes());
    }
    harness::check(most <= 4 * frame.size(), "the bytes held stay few", std::to_string(most));
    harness::check_equal(stream.first_held(), std::size_t{500}, "frames let go", "release");
}

// A file rewritten, cut short or closed under its reader.
void test_file_changes() {
    const std::string text = frame + frame + frame;
    const int fd = file_of(text);
    auto reader = FrameReader::over_file(fd, options());
    scanned(*reader);
    struct stat before{};
    fstat(fd, &before);
    // The same size, mtime kept: the count line read again says the file changed.
    if (pwrite(fd, "3", 1, static_cast<off_t>(frame.size())) != 1) std::abort();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    futimens(fd, times);
    RunTable run = read_all(*reader, true);
    harness::check(run.frames == std::vector<std::int64_t>{0} && run.refusals.size() == 1 &&
                       run.refusals[0].kind == RefusalKind::changed && run.refusals[0].frame == 1 && run.refusals[0].fatal,
                   "a count line rewritten", "rewritten");
    // Its mtime changed: nothing read is given.
    if (pwrite(fd, "2", 1, static_cast<off_t>(frame.size())) != 1) std::abort();
    run = read_all(*reader, true);
    harness::check(run.frames.empty() && run.refusals.size() == 1 && run.refusals[0].kind == RefusalKind::changed,
                   "a file whose identity changed", "rewritten");
    // A file rewritten between two steps of a scan: its failure is that it changed.
    ReaderOptions narrow = options();
    narrow.line_limit = 40;  // windows of 41 bytes: the first step stops after frame 0
    auto stepped = FrameReader::over_file(fd, narrow);
    harness::check(scanned(*stepped, 0).rows.size() == 1, "one step", "rewritten");
    if (pwrite(fd, "x", 1, static_cast<off_t>(2 * frame.size())) != 1) std::abort();
    const auto failed_scan = stepped->scan(std::nullopt, {});
    harness::check(failed_scan && failed_scan->failure && failed_scan->failure->kind == RefusalKind::changed,
                   "a scan of a file rewritten meanwhile", "rewritten");
    auto again = FrameReader::over_file(fd, options());
    if (ftruncate(fd, static_cast<off_t>(text.size() - 3)) != 0) std::abort();
    const auto cut = again->scan(std::nullopt, {});
    harness::check(cut && cut->failure && cut->failure->kind == RefusalKind::changed, "a scan of a file cut short", "cut");
    close(fd);
    harness::check(!FrameReader::over_file(fd, options()) && errno == EBADF, "a closed descriptor", "closed");
    const auto scan = reader->read({}, false, {});
    harness::check(!scan && scan.error().error_number == EBADF, "a read of a closed file", "closed");
    const int other = file_of(text);
    auto closing = FrameReader::over_file(other, options());
    close(other);
    const auto failed = closing->scan(std::nullopt, {});
    harness::check(!failed && failed.error().error_number == EBADF, "a scan of a closed file", "closed");
}

// A scan told to stop stops between windows, and goes on where it stopped.
void test_scan_cancelled() {
    const std::string text = large_text(300);
    ReaderOptions made = options();
    made.wave_bytes = 256;
    made.line_limit = 100;  // windows of 101 bytes
    FrameReader reader = FrameReader::over_memory(text, made);
    const auto stopped = reader.scan(std::nullopt, [] { return false; });
    harness::check(stopped && stopped->cancelled && !stopped->complete && stopped->found < 300, "cancelled", "scan");
    int asked = 0;
    const auto rest = reader.scan(std::nullopt, [&] { return ++asked > 0; });
    harness::check(rest && rest->complete && rest->found == 300 && asked > 3, "scanned on", "scan");
}

}  // namespace

int main() {
    test_properties();
    test_sources_agree();
    test_scan_failures();
    test_parts();
    test_release();
    test_file_changes();
    test_scan_cancelled();
    return harness::finish();
}
