// Native tests of the module's threads (core/common/thread_pool.*) and of the work split across
// them: every task run once for every thread count, the lowest task's exception, tasks that
// split work of their own, many callers at once while the setting changes, a forked child
// that calls in, and split blocks written and parsed exactly as in one piece.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "core/atom_block/atom_block.hpp"
#include "core/atom_lines/atom_lines.hpp"
#include "core/atom_lines/split_parse.hpp"
#include "core/common/thread_pool.hpp"
#include "harness.hpp"

namespace {

constexpr std::size_t thread_counts[] = {1, 2, 3, 8};

// The sum of f(i) over [0, count) run on the pool, each task adding its own.
std::uint64_t pool_sum(std::size_t count) {
    std::vector<std::uint64_t> parts(count);
    atomkit::parallel_for(count, [&](std::size_t i) { parts[i] = i * i + 1; });
    std::uint64_t sum = 0;
    for (std::uint64_t part : parts) sum += part;
    return sum;
}

std::uint64_t expected_sum(std::size_t count) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += i * i + 1;
    return sum;
}

void test_every_task_runs_once() {
    for (std::size_t threads : thread_counts) {
        atomkit::set_thread_count(threads);
        harness::check(atomkit::thread_count() == threads, "thread count", std::to_string(threads));
        for (std::size_t count : {0, 1, 2, 3, 7, 100, 1000}) {
            std::vector<std::atomic<int>> runs(count);
            atomkit::parallel_for(count, [&](std::size_t i) { runs[i].fetch_add(1); });
            const bool once = std::all_of(runs.begin(), runs.end(), [](const std::atomic<int>& r) { return r == 1; });
            harness::check(once, "every task once", std::to_string(threads) + " threads, " + std::to_string(count));
        }
    }
}

void test_lowest_exception_wins() {
    for (std::size_t threads : thread_counts) {
        atomkit::set_thread_count(threads);
        std::string caught;
        try {
            atomkit::parallel_for(9, [](std::size_t i) {
                if (i == 3 || i == 5 || i == 8) throw std::runtime_error("task " + std::to_string(i));
            });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        harness::check_equal(caught, std::string("task 3"), "lowest exception", std::to_string(threads));
    }
}

void test_nested_splits() {
    for (std::size_t threads : thread_counts) {
        atomkit::set_thread_count(threads);
        std::vector<std::uint64_t> sums(6);
        atomkit::parallel_for(sums.size(), [&](std::size_t i) { sums[i] = pool_sum(50 + i); });
        bool ok = true;
        for (std::size_t i = 0; i < sums.size(); ++i) ok = ok && sums[i] == expected_sum(50 + i);
        harness::check(ok, "nested splits", std::to_string(threads));
    }
}

void test_many_callers_while_the_setting_changes() {
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 400; ++round) {
                const std::size_t count = 2 + static_cast<std::size_t>((t + round) % 9);
                if (pool_sum(count) != expected_sum(count)) wrong.fetch_add(1);
            }
        });
    }
    std::thread setter([&] {
        std::size_t k = 0;
        while (!stop.load()) atomkit::set_thread_count(thread_counts[k++ % 4]);
    });
    for (std::thread& caller : callers) caller.join();
    stop.store(true);
    setter.join();
    harness::check(wrong.load() == 0, "sums of 8 callers while the setting changes", "8 threads");
}

// A child forked while other threads use the pool gets a pool of its own. (ThreadSanitizer
// cannot follow a fork of a process with threads: its children fail on their own.)
void test_fork() {
#if defined(__SANITIZE_THREAD__)
    return;
#endif
    atomkit::set_thread_count(3);
    harness::check(pool_sum(10) == expected_sum(10), "sum before fork", "3 threads");
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) (void)pool_sum(64);
    });
    for (int round = 0; round < 5; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(20);  // a child stuck on the parent's pool ends instead of hanging the test
            const bool ok = pool_sum(7) == expected_sum(7) && pool_sum(100) == expected_sum(100);
            atomkit::set_thread_count(2);
            _exit(ok && pool_sum(33) == expected_sum(33) ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        harness::check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "forked child's sums", std::to_string(round));
    }
    stop.store(true);
    busy.join();
}

void test_range_boundaries() {
    for (std::size_t rows : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000003}, ~std::size_t{0}}) {
        for (std::size_t ranges : {1, 2, 3, 8, 1024}) {
            bool ok = atomkit::range_boundary(rows, ranges, 0) == 0 && atomkit::range_boundary(rows, ranges, ranges) == rows;
            for (std::size_t k = 0; k < ranges; ++k) {
                ok = ok && atomkit::range_boundary(rows, ranges, k) <= atomkit::range_boundary(rows, ranges, k + 1);
            }
            harness::check(ok, "range boundaries", std::to_string(rows) + " / " + std::to_string(ranges));
        }
    }
}

void test_count_line_feeds() {
    std::mt19937_64 random(7);
    for (std::size_t size : {0, 1, 15, 63, 64, 65, 1000, 5000, 70000}) {
        std::string text(size + 3, 'a');
        for (char& c : text) c = random() % 5 == 0 ? '\n' : static_cast<char>('a' + random() % 3);
        for (std::size_t start = 0; start < 3; ++start) {
            const std::size_t want = static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(start),
                                                                         text.begin() + static_cast<std::ptrdiff_t>(start + size), '\n'));
            harness::check(atomkit::count_line_feeds(text.data() + start, size) == want, "line feeds",
                                 std::to_string(size));
        }
    }
}

// The atom lines of a frame with a symbol, three floats, an int and a bool; some rows wide.
std::string frame_text(std::size_t natoms, std::mt19937_64& random, const char* end) {
    std::string text;
    for (std::size_t r = 0; r < natoms; ++r) {
        text += random() % 3 == 0 ? "Si" : "H";
        for (int c = 0; c < 3; ++c) text += random() % 17 == 0 ? " 12345678912.5" : " " + std::to_string(random() % 1000) + ".25";
        text += " " + std::to_string(static_cast<std::int64_t>(random() % 200) - 100);
        text += random() % 2 ? " T" : " F";
        text += end;
    }
    return text;
}

bool same_atoms(const atomkit::ParsedAtoms& a, const atomkit::ParsedAtoms& b) {
    bool ok = a.natoms == b.natoms && a.floats.size() == b.floats.size() && a.ints.size() == b.ints.size() &&
              a.bools.size() == b.bools.size() && a.strs.size() == b.strs.size();
    ok = ok && std::memcmp(a.floats.data(), b.floats.data(), a.floats.size() * sizeof(double)) == 0;
    ok = ok && std::equal(a.ints.data(), a.ints.data() + a.ints.size(), b.ints.data());
    ok = ok && std::equal(a.bools.data(), a.bools.data() + a.bools.size(), b.bools.data());
    for (std::size_t c = 0; ok && c < a.strs.size(); ++c) {
        ok = a.strs[c].size() == b.strs[c].size() && a.strs[c].distinct_count() == b.strs[c].distinct_count();
        for (std::size_t r = 0; ok && r < a.strs[c].size(); ++r) ok = a.strs[c][r] == b.strs[c][r];
    }
    return ok;
}

void test_split_parse() {
    const std::vector<std::uint8_t> codes = {'s', 'f', 'f', 'f', 'i', 'b'};
    std::mt19937_64 random(11);
    atomkit::set_parallel_min_rows(2);
    for (const char* end : {"\n", "\r\n"}) {
        for (std::size_t natoms : {2, 3, 10, 257}) {
            std::string text = "header\n" + frame_text(natoms, random, end) + "next frame\n";
            // Bad rows at the start, middle and end of the frame, one or two at a time.
            for (int bad : {-1, 0, static_cast<int>(natoms / 2), static_cast<int>(natoms) - 1}) {
                std::string data = text;
                std::vector<std::string> lines;
                if (bad >= 0) {
                    std::size_t at = 7;
                    for (int r = 0; r < bad; ++r) at = data.find('\n', at) + 1;
                    data.insert(at, "x");  // "xH" or "xSi" parses as a symbol: break a float instead
                    data.replace(data.find(' ', at), 1, "/");
                }
                std::size_t at = 7;
                for (std::size_t r = 0; r < natoms; ++r) {
                    const std::size_t feed = data.find('\n', at);
                    lines.push_back(data.substr(at, feed - at));
                    at = feed + 1;
                }
                std::vector<std::string_view> views(lines.begin(), lines.end());
                const std::string label = std::to_string(natoms) + " atoms, bad row " + std::to_string(bad);
                atomkit::set_thread_count(1);
                const auto block_one = atomkit::parse_atom_block(data, 7, natoms, codes);
                const auto lines_one = atomkit::parse_atom_lines(views, codes);
                for (std::size_t threads : thread_counts) {
                    atomkit::set_thread_count(threads);
                    const auto block = atomkit::parse_atom_block(data, 7, natoms, codes);
                    const auto from_lines = atomkit::parse_atom_lines(views, codes);
                    harness::check(block.has_value() == block_one.has_value(), "block outcome", label);
                    harness::check(from_lines.has_value() == lines_one.has_value(), "lines outcome", label);
                    if (block && block_one) {
                        harness::check(same_atoms(block->atoms, block_one->atoms) && block->end == block_one->end,
                                       "block columns", label);
                    } else if (!block && !block_one) {
                        harness::check_equal(block.error().message, block_one.error().message, "block message", label);
                        harness::check(block.error().line_start == block_one.error().line_start, "block line", label);
                    }
                    if (from_lines && lines_one) {
                        harness::check(same_atoms(*from_lines, *lines_one), "lines columns", label);
                    } else if (!from_lines && !lines_one) {
                        harness::check_equal(from_lines.error().message, lines_one.error().message, "lines message", label);
                    }
                }
            }
        }
    }
    atomkit::set_parallel_min_rows(atomkit::default_parallel_min_rows);
}

void test_split_write() {
    std::mt19937_64 random(5);
    atomkit::set_parallel_min_rows(2);
    for (std::size_t natoms : {2, 5, 64, 300}) {
        std::vector<double> floats(natoms * 3);
        for (double& x : floats) x = random() % 11 == 0 ? 1e300 * static_cast<double>(random() % 7) : static_cast<double>(random() % 1000) / 8;
        std::vector<std::int64_t> ints(natoms);
        for (std::int64_t& x : ints) x = random() % 5 == 0 ? INT64_MIN : static_cast<std::int64_t>(random() % 100);
        std::vector<std::uint32_t> symbols(natoms * 3, 0);
        for (std::size_t r = 0; r < natoms; ++r) {
            symbols[3 * r] = random() % 4 == 0 ? 0x3A9 : 'H';  // Omega or H
            if (random() % 6 == 0) symbols[3 * r + 1] = symbols[3 * r + 2] = 'e';
        }
        atomkit::AtomBlockInput input;
        input.symbols = {reinterpret_cast<const std::byte*>(symbols.data()), natoms, 3, 12, 4};
        input.sym_width = 2;
        input.floats = {reinterpret_cast<const std::byte*>(floats.data()), natoms, 3, 24, 8};
        input.ints = {reinterpret_cast<const std::byte*>(ints.data()), natoms, 1, 8, 8};
        const std::vector<std::uint8_t> codes = {'s', 'f', 'f', 'f', 'i'};
        input.col_types = codes;
        atomkit::set_thread_count(1);
        const std::string one = atomkit::build_atom_block(input);
        for (std::size_t threads : thread_counts) {
            atomkit::set_thread_count(threads);
            harness::check_equal(atomkit::build_atom_block(input), one, "split block", std::to_string(natoms));
        }
    }
    atomkit::set_parallel_min_rows(atomkit::default_parallel_min_rows);
}

}  // namespace

int main() {
    test_every_task_runs_once();
    test_lowest_exception_wins();
    test_nested_splits();
    test_many_callers_while_the_setting_changes();
    test_fork();
    test_range_boundaries();
    test_count_line_feeds();
    test_split_parse();
    test_split_write();
    return harness::finish();
}
