// The Properties grammar: the value cut at colons into triples, each checked in line order
// (name, then kind, then count) so that the first bad field is the one reported.
#include "core/reader/properties_layout.hpp"

#include <unordered_set>

#include "core/comment_line/comment_line.hpp"

namespace atomkit::reader {
namespace {

// More columns than this in all (a line of 32 MiB at least) are refused as a bad count: their
// codes would take memory for nothing when no file has them (and a count of 20 digits none).
constexpr std::size_t max_columns = std::size_t{1} << 24;

bool is_name(std::string_view name) noexcept {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        switch (name[i]) {
            case ':': case '=': case '"': case '\'': case '\\': case '[': case ']': case '{': case '}':
                return false;
            default:
                if (python_space_at(name, i) != 0) return false;
        }
    }
    return true;
}

// The count of a well-formed count field, or 0 when the field is not one.
std::size_t count_of(std::string_view text) {
    if (text.empty() || text[0] < '1' || text[0] > '9') return 0;
    std::size_t count = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        count = count > max_columns ? count : count * 10 + static_cast<std::size_t>(c - '0');
    }
    return count;
}

char code_of(char kind) noexcept {
    switch (kind) {
        case 'S': return 's';
        case 'R': return 'f';
        case 'I': return 'i';
        case 'L': return 'b';
        default: return 0;
    }
}

std::vector<std::string_view> fields_of(std::string_view properties) {
    std::vector<std::string_view> fields;
    if (properties.empty()) return fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = properties.find(':', start);
        fields.push_back(properties.substr(start, colon - start));
        if (colon == std::string_view::npos) return fields;
        start = colon + 1;
    }
}

}  // namespace

std::expected<AtomLayout, PropertiesError> parse_properties(std::string_view properties) {
    const std::vector<std::string_view> fields = fields_of(properties);
    if (fields.size() % 3 != 0) return std::unexpected(PropertiesError{PropertiesErrorKind::triples, {}, {}});
    AtomLayout layout;
    layout.properties.assign(properties);
    std::unordered_set<std::string_view> seen;
    std::size_t total = 0;
    for (std::size_t k = 0; k < fields.size(); k += 3) {
        const std::string_view name = fields[k];
        const std::string_view kind = fields[k + 1];
        const std::string_view count_text = fields[k + 2];
        if (!is_name(name) || !seen.insert(name).second) {
            return std::unexpected(PropertiesError{PropertiesErrorKind::name, {}, std::string(name)});
        }
        if (kind.size() != 1 || code_of(kind[0]) == 0) {
            return std::unexpected(PropertiesError{PropertiesErrorKind::kind, std::string(name), std::string(kind)});
        }
        const std::size_t count = count_of(count_text);
        if (count == 0 || count > max_columns - total) {
            return std::unexpected(PropertiesError{PropertiesErrorKind::count, std::string(name), std::string(count_text)});
        }
        total += count;
        layout.columns.push_back({std::string(name), kind[0], count});
    }
    layout.col_types.reserve(total);
    for (const AtomColumnSpec& column : layout.columns) layout.col_types.append(column.count, code_of(column.kind));
    return layout;
}

std::int64_t LayoutBook::number_of(const std::optional<std::string_view>& value) {
    if (!value) {
        if (unreadable_ < 0) {
            unreadable_ = static_cast<std::int64_t>(values_.size());
            values_.emplace_back();
            layouts_.emplace_back();
        }
        return unreadable_;
    }
    const auto found = numbers_.find(*value);
    if (found != numbers_.end()) return found->second;
    const auto number = static_cast<std::int64_t>(values_.size());
    values_.emplace_back(std::string(*value));
    layouts_.emplace_back();
    if (parse_) layouts_.back().emplace(parse_properties(*value));
    numbers_.emplace(std::string(*value), number);
    return number;
}

void LayoutBook::assign(std::vector<std::optional<std::string>> values) {
    *this = LayoutBook(parse_);
    for (std::optional<std::string>& value : values) {
        const auto number = static_cast<std::int64_t>(values_.size());
        if (value) {
            numbers_.try_emplace(*value, number);
            layouts_.emplace_back();
            if (parse_) layouts_.back().emplace(parse_properties(*value));
        } else {
            if (unreadable_ < 0) unreadable_ = number;
            layouts_.emplace_back();
        }
        values_.push_back(std::move(value));
    }
}

const ParsedLayout* LayoutBook::layout(std::size_t number) const noexcept {
    if (number >= layouts_.size() || !layouts_[number]) return nullptr;
    return &*layouts_[number];
}

}  // namespace atomkit::reader
