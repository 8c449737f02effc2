// A Properties value (name:kind:count triples) read into the atom lines' columns and the atom
// parser's codes, or the reason it is refused. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace atomkit::reader {

// One name:kind:count triple of a Properties value.
struct AtomColumnSpec {
    std::string name;
    char kind = 'R';  // 'S', 'R', 'I' or 'L'
    std::size_t count = 1;

    bool operator==(const AtomColumnSpec&) const = default;
};

// What a Properties value says about the atom lines.
struct AtomLayout {
    std::string properties;               // the value as written
    std::vector<AtomColumnSpec> columns;  // in line order
    std::string col_types;                // the atom parser's codes: 's' 'f' 'i' 'b', one per token
};

enum class PropertiesErrorKind : std::uint8_t {
    triples,  // "Properties {p!r}: expected name:kind:count triples"
    name,     // "Properties {p!r}: bad or repeated name {text!r}"
    kind,     // "Properties {p!r}: {name} has kind {text!r}, not one of S, R, I, L"
    count,    // "Properties {p!r}: {name} has count {text!r}"
};

struct PropertiesError {
    PropertiesErrorKind kind = PropertiesErrorKind::triples;
    std::string name;  // the column named (kind, count)
    std::string text;  // what the message quotes (name, kind, count)

    bool operator==(const PropertiesError&) const = default;
};

// A name is one or more characters that are neither Python whitespace (str.isspace) nor any of
// : = " ' \ [ ] { }; a kind is S, R, I or L; a count is [1-9][0-9]* (ASCII); names do not repeat.
// An empty value has no columns. The value is UTF-8 (as the comment line parser gives it). More
// than 2^24 columns in all are refused as a bad count (the count that passes that).
[[nodiscard]] std::expected<AtomLayout, PropertiesError> parse_properties(std::string_view properties);

using ParsedLayout = std::expected<AtomLayout, PropertiesError>;

// The Properties values of a source's comment lines numbered in order of first appearance
// (nullopt standing for every line that cannot be read), each parsed once when it is numbered
// (unless made with parse = false, to number values alone).
class LayoutBook {
public:
    explicit LayoutBook(bool parse = true) : parse_(parse) {}

    std::int64_t number_of(const std::optional<std::string_view>& value);
    // Numbers `values` in their order (the value of a layout number, as given).
    void assign(std::vector<std::optional<std::string>> values);

    std::size_t size() const noexcept { return values_.size(); }
    std::span<const std::optional<std::string>> values() const noexcept { return values_; }
    // The layout numbered `number`: parsed or refused; nullptr for lines that cannot be read
    // (or a number past the last).
    const ParsedLayout* layout(std::size_t number) const noexcept;

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    bool parse_;
    std::vector<std::optional<std::string>> values_;
    std::vector<std::optional<ParsedLayout>> layouts_;
    std::unordered_map<std::string, std::int64_t, Hash, std::equal_to<>> numbers_;
    std::int64_t unreadable_ = -1;
};

}  // namespace atomkit::reader
