// The Properties value that a frame's comment line names, found cheaply where the bytes show
// it (lines like the one before, plain ASCII lines), else through the comment-line parser, which
// then has the last word. Plain C++.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace atomkit::frames {

// What a comment line without Properties names: the plain xyz columns (the package's
// base.text.PLAIN_XYZ says the same when it tells such frames apart).
inline constexpr std::string_view plain_xyz_properties = "species:S:1:pos:R:3";

// The bytes the comment-line tokenizer takes for spaces in ASCII (str.isspace): \t \n \v \f
// \r, the four information separators and the space.
inline bool is_comment_space(unsigned char c) noexcept { return (c >= 9 && c <= 13) || (c >= 28 && c <= 32); }

class PropertiesFinder {
public:
    // The Properties value `line` names (plain_xyz_properties when it names none), or
    // nullopt when only Python can tell: the line is not UTF-8, or the parser refuses it. A
    // line the reader refuses may get a value all the same (reading its frame raises). The
    // view lives until the next call.
    std::optional<std::string_view> find(std::string_view line);

private:
    std::optional<std::string_view> like_the_last(std::string_view line) const noexcept;
    std::optional<std::string_view> from_ascii(std::string_view line);
    std::optional<std::string_view> from_parser(std::string_view line);

    // The last line answered from its ASCII bytes, up to the end of its Properties value:
    // (the bytes up to and with its first double quote, those from the quote that closes it,
    // the value), or (all of those bytes, "", the value) when no quote comes before the key.
    bool have_last_ = false;
    std::string lead_;
    std::string tail_;
    std::string value_;
    std::string line_;    // a line being parsed, in memory of our own
    std::string parsed_;  // the value the parser found
};

// The layout numbers of the Properties values known so far (from the package).
class KnownLayouts {
public:
    void add(std::string value, std::int64_t layout) { layouts_.insert_or_assign(std::move(value), layout); }
    // The layout of `value`, or -1 when it is not known.
    std::int64_t find(std::string_view value) const {
        const auto found = layouts_.find(value);
        return found == layouts_.end() ? -1 : found->second;
    }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_map<std::string, std::int64_t, Hash, std::equal_to<>> layouts_;
};

}  // namespace atomkit::frames
