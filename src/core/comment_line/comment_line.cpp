// The comment line parser: items found one by one, the reserved keys (Properties, Lattice,
// pbc) taken apart from the rest, and a line without '=' kept as one comment. Plain C++.
#include "core/comment_line/comment_line.hpp"

#include <unordered_set>
#include <utility>

#include "core/atom_lines/token_grammar.hpp"
#include "core/comment_line/flat_line.hpp"
#include "core/comment_line/tokens.hpp"
#include "core/comment_line/values.hpp"
#include "core/common/word_bits.hpp"

namespace atomkit {
namespace comment {
namespace {

// One item of the line: its key (the text as written, quotes included when quoted), whether
// '=' follows, and its value as written.
struct RawItem {
    std::string_view key;
    bool has_value;
    std::string_view value;
};

class LineParser {
public:
    LineParser(std::string_view line, const CommentOptions& options) : line_(line), options_(options) {
        out_.info.reserve(8);
    }

    std::expected<ParsedComment, CommentError> run() {
        std::size_t pos = 0;
        while (true) {
            pos = skip_spaces(line_, pos);
            if (pos == line_.size()) return std::move(out_);
            const std::size_t start = pos;
            std::optional<RawItem> item = next_item(pos);
            if (!item) {
                const std::string_view bad = line_.substr(start, skip_non_spaces(line_, start) - start);
                return fail(CommentErrorKind::cannot_parse, std::string(leading_characters(bad, line_item_quoted)));
            }
            if (auto added = add(*item); !added) return std::unexpected(std::move(added.error()));
        }
    }

private:
    // The item from pos (a non-space character), moving pos past it; nullopt when none
    // starts there.
    std::optional<RawItem> next_item(std::size_t& pos) const {
        const std::string_view s = line_;
        const std::size_t start = pos;
        std::size_t key_end = start;
        if (s[start] == '"') {
            key_end = quoted_end(s, start);
            if (key_end == npos) return std::nullopt;
        } else {
            while (key_end < s.size() && is_key_char(s, key_end)) ++key_end;
            if (key_end == start) return std::nullopt;
        }
        const std::string_view key = s.substr(start, key_end - start);
        const std::size_t equals = skip_spaces(s, key_end);
        if (equals < s.size() && s[equals] == '=') {
            const std::size_t after = equals + 1;
            const std::size_t v = skip_spaces(s, after);
            const std::size_t e = value_end(s, v);
            if (e != npos && is_space_or_end(s, e)) {
                pos = e;
                return RawItem{key, true, s.substr(v, e - v)};
            }
            // No value that ends at a space: an empty one, if a space or the end follows '='.
            if (v == s.size() || v > after) {
                pos = v;
                return RawItem{key, true, {}};
            }
        }
        if (!is_space_or_end(s, key_end)) return std::nullopt;
        pos = key_end;
        return RawItem{key, false, {}};
    }

    std::expected<void, CommentError> add(const RawItem& item) {
        std::string key = item.key[0] == '"' ? unescape(item.key.substr(1, item.key.size() - 2))
                                             : std::string(item.key);
        const Reserved reserved = reserved_key(key);
        if (reserved != Reserved::none) {
            if (!item.has_value) return fail(CommentErrorKind::no_value, std::move(key));
            return add_reserved(reserved, item.value);
        }
        if (seen(key)) return fail(CommentErrorKind::key_twice, std::move(key));
        remember(key);
        CommentItem& added = out_.info.emplace_back(std::move(key));
        CommentValue& value = added.value;
        if (!item.has_value) {
            value.kind = CommentValueKind::flag;
        } else if (added.key == "comment") {
            value = text_value(plain_text(item.value));
        } else {
            auto typed = typed_value(item.value, options_);
            if (!typed) return std::unexpected(std::move(typed.error()));
            value = std::move(*typed);
            if (is_matrix_key(added.key)) make_square(value);
        }
        return {};
    }

    // Properties, Lattice or pbc with its value, each at most once in a line.
    std::expected<void, CommentError> add_reserved(Reserved reserved, std::string_view raw) {
        switch (reserved) {
            case Reserved::properties:
                if (out_.properties) return fail(CommentErrorKind::properties_twice, {});
                out_.properties = plain_text(raw);
                return {};
            case Reserved::lattice: {
                if (out_.lattice) return fail(CommentErrorKind::lattice_twice, {});
                auto typed = typed_value(raw, options_);
                if (!typed) return std::unexpected(std::move(typed.error()));
                if (typed->kind != CommentValueKind::deferred && !make_lattice(*typed)) {
                    return fail(CommentErrorKind::lattice_numbers, std::string(raw));
                }
                out_.lattice = std::move(*typed);
                out_.lattice_place = out_.info.size();
                return {};
            }
            case Reserved::pbc: {
                if (out_.pbc) return fail(CommentErrorKind::pbc_twice, {});
                const auto flags = pbc_flags(raw);
                if (!flags) return fail(CommentErrorKind::pbc_flags, std::string(raw));
                out_.pbc = *flags;
                return {};
            }
            case Reserved::none:
                break;
        }
        return {};
    }

    // Whether info holds the key: a scan while it holds few, a set beyond.
    bool seen(const std::string& key) const {
        if (!keys_.empty()) return keys_.contains(key);
        for (const CommentItem& item : out_.info) {
            if (item.key == key) return true;
        }
        return false;
    }
    void remember(const std::string& key) {
        static constexpr std::size_t scanned_keys = 32;
        if (keys_.empty() && out_.info.size() < scanned_keys) return;
        if (keys_.empty()) {
            for (const CommentItem& item : out_.info) keys_.insert(item.key);
        }
        keys_.insert(key);
    }

    static std::unexpected<CommentError> fail(CommentErrorKind kind, std::string text) {
        return std::unexpected(CommentError{kind, std::move(text)});
    }

    std::string_view line_;
    const CommentOptions& options_;
    ParsedComment out_;
    std::unordered_set<std::string> keys_;
};

// A line without '=': kept whole, less the spaces around it.
ParsedComment whole_comment(std::string_view line) {
    ParsedComment parsed;
    const std::size_t first = skip_spaces(line, 0);
    std::size_t last = first;
    for (std::size_t i = first; i < line.size();) {
        const std::size_t length = space_at(line, i);
        if (length == 0) {
            last = ++i;
        } else {
            i += length;
        }
    }
    if (last > first) {
        parsed.info.push_back(CommentItem{"comment", text_value(std::string(line.substr(first, last - first)))});
    }
    return parsed;
}

}  // namespace
}  // namespace comment

std::size_t python_space_at(std::string_view s, std::size_t i) noexcept { return comment::space_at(s, i); }

std::expected<ParsedComment, CommentError> parse_comment_line(std::string_view line, const CommentOptions& options) {
    if (FlatLine flat; flat.read(line, options)) return flat.parsed();
    return parse_declined_line(line, options);
}

std::expected<ParsedComment, CommentError> parse_declined_line(std::string_view line, const CommentOptions& options) {
    if (line.find('=') == comment::npos) return comment::whole_comment(line);
    const NearestRounding nearest;  // for every float of the line
    return comment::LineParser(line, options).run();
}

}  // namespace atomkit
