// The frame scanner: one phase per kind of line (count line, comment line, atom lines), the
// state kept in locals while a window is scanned and written back when the scan stops.
// Plain C++.
#include "core/frames/frame_scan.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/common/internal_failure.hpp"
#include "core/common/word_bits.hpp"
#include "core/frames/line_feeds.hpp"

namespace atomkit::frames {
namespace {

constexpr std::string_view bom = "\xEF\xBB\xBF";

class Scanner {
public:
    Scanner(std::string_view window, std::uint64_t offset, ScanState& state, const KnownLayouts* known,
            std::vector<FrameRecord>& frames, PropertiesFinder* finder) noexcept
        : data_(window.data()),
          offset_(offset),
          s_(state),
          state_(state),
          known_(known),
          frames_(frames),
          finder_(finder != nullptr ? *finder : own_finder_) {
        // The window is scanned for line_limit + 1 bytes at most: then only its first line and
        // the line it ends inside can be too long, and those are measured.
        pos_ = static_cast<std::size_t>(s_.position - offset_);
        size_ = window.size();
        if (state.line_limit < size_ - pos_) size_ = pos_ + static_cast<std::size_t>(state.line_limit) + 1;
        at_end_ = offset_ + size_ == s_.size;
    }

    ScanStop run() {
        while (true) {
            bool stopped = false;
            switch (s_.phase) {
                case ScanPhase::count:
                    stopped = count_line();
                    break;
                case ScanPhase::comment:
                    stopped = comment_line();
                    break;
                case ScanPhase::atoms:
                    stopped = atom_lines();
                    break;
            }
            if (stopped) {
                s_.position = at(pos_);
                state_ = s_;
                return std::move(stop_);
            }
        }
    }

private:
    std::uint64_t at(std::size_t i) const noexcept { return offset_ + i; }

    // Where the line from window[from] ends (its line feed), or no_line_feed.
    std::size_t line_end(std::size_t from) const noexcept {
        if (from == size_) return no_line_feed;
        const void* hit = std::memchr(data_ + from, '\n', size_ - from);
        return hit == nullptr ? no_line_feed : static_cast<std::size_t>(static_cast<const char*>(hit) - data_);
    }

    // Where the count line at pos_ ends: past its digits for the usual line, else searched.
    std::size_t count_line_end() const noexcept {
        std::size_t i = pos_;
        while (i < size_ && i - pos_ < 20 && is_digit(data_[i])) ++i;
        if (i < size_ && data_[i] == '\r') ++i;
        if (i < size_ && data_[i] == '\n') return i;
        return line_end(i);  // no line feed before i
    }

    // Whether the line that starts at line_start and ends at file offset `end` is too long.
    bool too_long(std::uint64_t end) const noexcept { return end - s_.line_start > s_.line_limit; }

    // Whether the first line of window[pos_, last] (last a line feed) is too long: only a
    // line that began before the window can be, and only when all of them together are.
    bool first_too_long(std::size_t last) const noexcept {
        if (!too_long(at(last))) return false;
        return too_long(at(line_end(pos_)));
    }

    // Ends the scan with `made` (the phases return whether the scan stops).
    bool halt(ScanStop made) {
        stop_ = std::move(made);
        return true;
    }
    static ScanStop stop(StopKind kind) {
        ScanStop made;
        made.kind = kind;
        return made;
    }
    ScanStop failure(FailureKind kind, std::uint64_t frame_offset, std::uint64_t frame_stop,
                     std::uint64_t lineno) const {
        ScanStop made = stop(StopKind::failure);
        made.failure = kind;
        made.frame_offset = frame_offset;
        made.frame_stop = frame_stop;
        made.lineno = lineno;
        return made;
    }
    ScanStop long_line() const { return failure(FailureKind::long_line, s_.line_start, s_.size, s_.lineno); }
    // The window ends inside the line at pos_ (or is used up): a longer line than the limit
    // is refused here, else the scan goes on with the next window.
    ScanStop need_more() const {
        if (too_long(at(size_))) return long_line();
        return stop(StopKind::more);
    }
    ScanStop ends_inside() const {
        return failure(FailureKind::ends_inside, s_.frame_offset, s_.size, s_.frame_lineno);
    }

    // Blank lines, then the next frame's count line. Runs of blank lines are passed over at once.
    bool count_line() {
        if (s_.lineno == 1 && at(pos_) == 0) {  // a BOM at the start of the file
            const std::size_t have = std::min(size_ - pos_, bom.size());
            const std::string_view head(data_ + pos_, have);
            if (head == bom) {
                pos_ += bom.size();
            } else if (have < bom.size() && !at_end_ && bom.starts_with(head)) {
                return halt(need_more());  // cannot tell yet
            }
        }
        while (true) {
            if (pos_ == size_) {
                if (!at_end_) return halt(need_more());
                if (too_long(s_.size)) return halt(long_line());  // a BOM alone on the last line
                return halt(stop(StopKind::done));
            }
            if (is_blank_byte(static_cast<unsigned char>(data_[pos_]))) {
                std::size_t solid = pos_ + 1;
                while (solid < size_ && is_blank_byte(static_cast<unsigned char>(data_[solid]))) ++solid;
                const void* last = memrchr(data_ + pos_, '\n', solid - pos_);
                if (last != nullptr) {  // whole blank lines
                    const auto end = static_cast<std::size_t>(static_cast<const char*>(last) - data_);
                    if (first_too_long(end)) return halt(long_line());
                    s_.lineno += static_cast<std::uint64_t>(std::count(data_ + pos_, data_ + end + 1, '\n'));
                    pos_ = end + 1;
                    s_.line_start = at(pos_);
                    continue;
                }
                if (solid == size_) {  // a blank line that the window ends inside
                    if (!at_end_) return halt(need_more());
                    if (too_long(s_.size)) return halt(long_line());
                    pos_ = size_;
                    return halt(stop(StopKind::done));
                }
            }
            const std::size_t end = count_line_end();
            const bool ended = end != no_line_feed;
            if (!ended && !at_end_) return halt(need_more());
            const std::size_t stop_at = ended ? end : size_;
            if (too_long(at(stop_at))) return halt(long_line());
            const std::optional<std::uint64_t> natoms = read_count_line({data_ + pos_, stop_at - pos_});
            if (!natoms) return halt(failure(FailureKind::bad_count, at(pos_), ended ? at(end) + 1 : s_.size, s_.lineno));
            if (!ended) return halt(failure(FailureKind::no_comment, at(pos_), s_.size, s_.lineno));
            s_.frame_offset = at(pos_);
            s_.frame_lineno = s_.lineno;
            s_.natoms = *natoms;
            s_.layout = -1;
            pos_ = end + 1;
            s_.lineno += 1;
            s_.line_start = at(pos_);
            s_.phase = ScanPhase::comment;
            return false;
        }
    }

    // The pending frame's comment line, and its layout.
    bool comment_line() {
        const std::size_t end = line_end(pos_);
        const bool ended = end != no_line_feed;
        if (!ended && !at_end_) return halt(need_more());
        const std::size_t stop_at = ended ? end : size_;
        if (too_long(at(stop_at))) return halt(long_line());
        if (!ended && s_.natoms > 0) return halt(ends_inside());
        if (known_ == nullptr) {
            s_.layout = -1;
        } else if (s_.layout < 0) {  // else the caller decided it
            const std::optional<std::string_view> value = finder_.find({data_ + pos_, stop_at - pos_});
            if (value) s_.layout = layout_of(*value);
            if (s_.layout < 0) {
                ScanStop made = stop(StopKind::comment);
                made.line_begin = pos_;
                made.line_end = stop_at;
                if (value) made.candidate.emplace(*value);
                return halt(std::move(made));
            }
        }
        if (!ended) {  // a frame without atoms whose comment line ends the file
            pos_ = size_;
            return frame_found();
        }
        pos_ = end + 1;
        s_.lineno += 1;
        s_.line_start = at(pos_);
        if (s_.natoms == 0) return frame_found();
        s_.lines_left = s_.natoms;
        s_.phase = ScanPhase::atoms;
        return false;
    }

    // The pending frame is whole: recorded, and the next one looked for.
    bool frame_found() {
        frames_.push_back({static_cast<std::int64_t>(s_.frame_offset), static_cast<std::int64_t>(s_.natoms),
                           static_cast<std::int64_t>(s_.frame_lineno), s_.layout, static_cast<std::int64_t>(at(pos_))});
        s_.lines_left = 0;
        s_.phase = ScanPhase::count;
        return false;
    }

    // The pending frame's atom lines, counted by their line feeds; the last line of the
    // file may end without one.
    bool atom_lines() {
        const LineFeeds found = find_line_feed(data_ + pos_, size_ - pos_, s_.lines_left);
        if (found.at != no_line_feed) {
            const std::size_t end = pos_ + found.at;
            if (first_too_long(end)) return halt(long_line());
            s_.lineno += s_.lines_left;
            pos_ = end + 1;
            s_.line_start = at(pos_);
            return frame_found();
        }
        if (found.count > 0) {
            const auto last = static_cast<std::size_t>(
                static_cast<const char*>(memrchr(data_ + pos_, '\n', size_ - pos_)) - data_);
            if (first_too_long(last)) return halt(long_line());
            s_.lineno += found.count;
            s_.lines_left -= found.count;
            s_.line_start = at(last + 1);
        }
        pos_ = size_;
        if (!at_end_) return halt(need_more());
        if (too_long(s_.size)) return halt(long_line());
        if (s_.lines_left == 1 && s_.line_start < s_.size) return frame_found();  // the last line, unended
        return halt(ends_inside());
    }

    // The layout of a Properties value, or -1 when the known layouts lack it.
    std::int64_t layout_of(std::string_view value) {
        if (have_last_ && value == last_value_) return last_layout_;
        const std::int64_t layout = known_->find(value);
        if (layout >= 0) {
            last_value_.assign(value);
            last_layout_ = layout;
            have_last_ = true;
        }
        return layout;
    }

    const char* data_;
    std::size_t size_ = 0;
    std::uint64_t offset_;
    bool at_end_ = false;
    std::size_t pos_ = 0;
    ScanState s_;  // the state as the scan goes, written back when it stops
    ScanState& state_;
    const KnownLayouts* known_;
    std::vector<FrameRecord>& frames_;
    PropertiesFinder own_finder_;
    PropertiesFinder& finder_;
    ScanStop stop_;
    bool have_last_ = false;
    std::string last_value_;
    std::int64_t last_layout_ = -1;
};

}  // namespace

std::string_view state_misfit(const ScanState& state, std::uint64_t window_offset, std::size_t window_size) noexcept {
    if (window_offset > state.size || window_size > state.size - window_offset) {
        return "the window runs past the end of the file";
    }
    if (state.position < window_offset || state.position - window_offset > window_size) {
        return "the position lies outside the window";
    }
    if (state.line_start > state.position) return "the line starts after the position";
    if (state.lineno == 0) return "line numbers count from 1";
    if (static_cast<std::uint64_t>(state.phase) >= scan_phases) return "no such phase";
    if (state.phase == ScanPhase::atoms && state.lines_left == 0) return "no atom lines left to pass";
    return {};
}

ScanStop scan_frames(std::string_view window, std::uint64_t window_offset, ScanState& state,
                     const KnownLayouts* known, std::vector<FrameRecord>& frames, PropertiesFinder* finder) {
    if (const std::string_view misfit = state_misfit(state, window_offset, window.size()); !misfit.empty()) {
        fail("scan_frames: the state does not fit the window: " + std::string(misfit));
    }
    return Scanner(window, window_offset, state, known, frames, finder).run();
}

}  // namespace atomkit::frames
