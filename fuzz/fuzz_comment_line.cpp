// libFuzzer target of parse_comment_line: any bytes as a line; the result must be well formed
// (values of each kind hold what that kind needs, keys distinct, texts UTF-8 where the line
// is, deferred values cut from the line) and every float read must come back from its repr.
//
// Input: the line, as it is.
#include <bit>
#include <cstdint>
#include <set>
#include <string>

#include "core/atom_lines/token_grammar.hpp"
#include "core/comment_line/comment_line.hpp"
#include "core/comment_line/float_repr.hpp"
#include "fuzz_support.hpp"

namespace {

using atomkit::CommentErrorKind;
using atomkit::CommentValue;
using atomkit::CommentValueKind;

std::size_t characters(std::string_view s) {
    std::size_t count = 0;
    for (const char c : s) count += (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
    return count;
}

bool has_space(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (atomkit::python_space_at(s, i) != 0) return true;
    }
    return false;
}

// What the writer writes for a value reads back as the same double (any NaN as "nan").
void check_round_trip(double value, std::string_view line) {
    char text[atomkit::max_float_repr_length];
    const std::size_t length = atomkit::write_float_repr(value, text);
    fuzz::check(length > 0 && length <= sizeof text, "repr of the wrong length", line);
    const std::string_view written(text, length);
    if (value != value) {
        fuzz::check(written == "nan", "a NaN not written as nan", line);
        return;
    }
    const auto back = atomkit::parse_float_token(written);
    fuzz::check(back.has_value() && std::bit_cast<std::uint64_t>(*back) == std::bit_cast<std::uint64_t>(value),
                "a float does not read back from its repr", std::string(written) + " from " + std::string(line));
}

void check_text(std::string_view text, bool utf8_line, std::string_view line) {
    if (utf8_line) fuzz::check(fuzz::is_valid_utf8(text), "text of a UTF-8 line is not UTF-8", line);
}

void check_value(const CommentValue& value, bool utf8_line, std::string_view line) {
    switch (value.kind) {
        case CommentValueKind::flag:
        case CommentValueKind::boolean:
        case CommentValueKind::integer:
            break;
        case CommentValueKind::real:
            check_round_trip(value.real, line);
            break;
        case CommentValueKind::text:
            check_text(value.text, utf8_line, line);
            break;
        case CommentValueKind::bool_array:
            fuzz::check(value.reals.empty(), "flags with floats", line);
            for (const std::int64_t flag : value.ints) fuzz::check(flag == 0 || flag == 1, "a flag neither 0 nor 1", line);
            break;
        case CommentValueKind::int_array:
            fuzz::check(value.reals.empty(), "integers with floats", line);
            break;
        case CommentValueKind::float_array:
            fuzz::check(value.ints.empty(), "floats with integers", line);
            fuzz::check(!value.square || value.reals.size() == 9, "a 3x3 matrix without 9 values", line);
            for (const double real : value.reals) check_round_trip(real, line);
            break;
        case CommentValueKind::deferred:
            fuzz::check(!value.text.empty() && line.find(value.text) != std::string_view::npos,
                        "a deferred value that is not cut from the line", line);
            break;
    }
    fuzz::check(value.kind == CommentValueKind::float_array || !value.square, "a square value that is no float array", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const bool utf8_line = fuzz::is_valid_utf8(line);
    const auto parsed = atomkit::parse_comment_line(line);

    if (!parsed) {
        const atomkit::CommentError& error = parsed.error();
        check_text(error.text, utf8_line, line);
        switch (error.kind) {
            case CommentErrorKind::cannot_parse:
                fuzz::check(!error.text.empty() && characters(error.text) <= 60 && !has_space(error.text),
                            "a bad item is not a run of at most 60 non-space characters", line);
                fuzz::check(line.find(error.text) != std::string_view::npos, "a bad item not from the line", line);
                break;
            case CommentErrorKind::list_item:
                fuzz::check(!error.text.empty() && characters(error.text) <= 30, "a list item text of the wrong length", line);
                break;
            case CommentErrorKind::properties_twice:
            case CommentErrorKind::lattice_twice:
            case CommentErrorKind::pbc_twice:
                fuzz::check(error.text.empty(), "a message without text carries some", line);
                break;
            case CommentErrorKind::no_value:
            case CommentErrorKind::key_twice:
            case CommentErrorKind::lattice_numbers:
            case CommentErrorKind::pbc_flags:
                break;
        }
        fuzz::check(line.find('=') != std::string_view::npos, "a line without '=' failed", line);
        return 0;
    }

    if (line.find('=') == std::string_view::npos) {
        fuzz::check(!parsed->properties && !parsed->lattice && !parsed->pbc && parsed->info.size() <= 1,
                    "a line without '=' gave items", line);
        if (!parsed->info.empty()) {
            const std::string& text = parsed->info[0].value.text;
            fuzz::check(parsed->info[0].key == "comment" && !text.empty() &&
                            atomkit::python_space_at(text, 0) == 0 && line.find(text) != std::string_view::npos,
                        "the comment of a line without '=' is not the line stripped", line);
        }
    }
    if (parsed->properties) check_text(*parsed->properties, utf8_line, line);
    if (parsed->lattice) {
        const CommentValue& lattice = *parsed->lattice;
        fuzz::check(lattice.kind == CommentValueKind::deferred || (lattice.kind == CommentValueKind::float_array && lattice.square),
                    "a lattice that is neither 3x3 nor deferred", line);
        fuzz::check(parsed->lattice_place <= parsed->info.size(), "the lattice's place lies past the items", line);
        check_value(lattice, utf8_line, line);
    }
    std::set<std::string> keys;
    for (const atomkit::CommentItem& item : parsed->info) {
        fuzz::check(keys.insert(item.key).second, "a key appears twice", line);
        check_text(item.key, utf8_line, line);
        check_value(item.value, utf8_line, line);
    }
    return 0;
}
