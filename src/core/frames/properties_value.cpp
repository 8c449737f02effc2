// Finding a comment line's Properties value: shortcuts from the bytes where they surely give
// what the parser would, then the comment-line parser in a copy of the line. Plain C++.
#include "core/frames/properties_value.hpp"

#include <cstring>

#include "core/comment_line/comment_line.hpp"
#include "core/common/utf8.hpp"
#include "core/common/word_bits.hpp"

namespace atomkit::frames {
namespace {

constexpr std::string_view properties_key = "properties";

// A byte of a bare value that ends where the tokenizer ends it: neither
// space nor any of = " ' \ [ {.
bool is_plain_value_byte(unsigned char c) noexcept {
    if (is_comment_space(c)) return false;
    return c != '=' && c != '"' && c != '\'' && c != '\\' && c != '[' && c != '{';
}

bool is_ascii(std::string_view line) noexcept {
    std::size_t i = 0;
    std::uint64_t high = 0;
    for (; i + 8 <= line.size(); i += 8) high |= load_le_word(line.data() + i);
    for (; i < line.size(); ++i) high |= static_cast<unsigned char>(line[i]);
    return (high & 0x8080808080808080ULL) == 0;
}

// Whether `line` holds the word "properties" in any letter case.
bool holds_properties_word(std::string_view line) noexcept {
    for (std::size_t i = 0; i + properties_key.size() <= line.size(); ++i) {
        if ((line[i] | 0x20) == 'p' && equals_ascii_lower(line.substr(i, properties_key.size()), properties_key)) {
            return true;
        }
    }
    return false;
}

// Whether the tokenizer surely starts an item at a key that follows `before`:
// it holds only bare tokens and double-quoted values that open right after their '=', and
// ends in a space.
bool plainly_before(std::string_view before) noexcept {
    if (!before.empty() && !is_comment_space(static_cast<unsigned char>(before.back()))) return false;
    if (before.find_first_of("'\\[{") != std::string_view::npos) return false;
    bool inside = false;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i] != '"') continue;
        if (!inside && (i == 0 || before[i - 1] != '=')) return false;
        inside = !inside;
    }
    return !inside;
}

}  // namespace

std::optional<std::string_view> PropertiesFinder::find(std::string_view line) {
    if (auto value = like_the_last(line)) return value;
    if (is_ascii(line)) {
        if (auto value = from_ascii(line)) return value;
    }
    return from_parser(line);
}

// The last line's value when this line starts with the same bytes up to the end of that
// value (but for the text inside its first quotes, without an escape there) and a space or
// the end follows.
std::optional<std::string_view> PropertiesFinder::like_the_last(std::string_view line) const noexcept {
    if (!have_last_ || !line.starts_with(lead_)) return std::nullopt;
    std::size_t end = lead_.size();
    if (!tail_.empty()) {
        const std::size_t close = line.find('"', end);
        if (close == std::string_view::npos || !line.substr(close).starts_with(tail_)) return std::nullopt;
        if (line.substr(end, close - end).find('\\') != std::string_view::npos) return std::nullopt;
        end = close + tail_.size();
    }
    if (end != line.size() && !is_comment_space(static_cast<unsigned char>(line[end]))) return std::nullopt;
    return std::string_view(value_);
}

// An ASCII line: none with '=' names none; else the first key "properties=" in any letter
// case, after plain items only, with a bare value (remembered for the lines after).
std::optional<std::string_view> PropertiesFinder::from_ascii(std::string_view line) {
    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return plain_xyz_properties;
    std::size_t at = std::string_view::npos;
    for (; equals != std::string_view::npos; equals = line.find('=', equals + 1)) {
        if (equals >= properties_key.size() &&
            equals_ascii_lower(line.substr(equals - properties_key.size(), properties_key.size()), properties_key)) {
            at = equals - properties_key.size();
            break;
        }
    }
    if (at == std::string_view::npos) {
        // No escape makes a letter, so a key that reads "properties" is written so.
        if (!holds_properties_word(line)) return plain_xyz_properties;
        return std::nullopt;
    }
    if (!plainly_before(line.substr(0, at))) return std::nullopt;
    const std::size_t start = at + properties_key.size() + 1;
    std::size_t end = start;
    while (end < line.size() && is_plain_value_byte(static_cast<unsigned char>(line[end]))) ++end;
    if (end == start || (end < line.size() && !is_comment_space(static_cast<unsigned char>(line[end])))) {
        return std::nullopt;
    }
    const std::size_t quote = line.substr(0, at).find('"');
    std::size_t closed = std::string_view::npos;
    if (quote != std::string_view::npos) {
        // Before `at`, where the quotes pair up (unless the bytes changed meanwhile).
        closed = line.find('"', quote + 1);
        if (closed >= at) return std::nullopt;
    }
    value_.assign(line.substr(start, end - start));
    if (quote == std::string_view::npos) {
        lead_.assign(line.substr(0, end));
        tail_.clear();
    } else {
        lead_.assign(line.substr(0, quote + 1));
        tail_.assign(line.substr(closed, end - closed));
    }
    have_last_ = true;
    return std::string_view(value_);
}

// Any other line, parsed whole in a copy (the bytes of a buffer may change meanwhile).
std::optional<std::string_view> PropertiesFinder::from_parser(std::string_view line) {
    line_.assign(line);
    if (!is_valid_utf8(line_)) return std::nullopt;
    auto parsed = parse_comment_line(line_);
    if (!parsed) return std::nullopt;
    if (!parsed->properties) return plain_xyz_properties;
    parsed_ = std::move(*parsed->properties);
    return std::string_view(parsed_);
}

}  // namespace atomkit::frames
