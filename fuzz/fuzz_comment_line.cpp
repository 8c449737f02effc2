// libFuzzer target of parse_comment_line: any bytes as a line, read deferring (as the table
// reader does) and typing everything (as parse_comment_rs does, with no digit limit and with
// a small one). Each result must be well formed (values of each kind hold what that kind
// needs, keys distinct, texts UTF-8 where the line is, deferred values cut from the line,
// nothing deferred when typing everything), every float read must come back from its repr,
// and typing everything must give what deferring gave when nothing was deferred, fail where
// deferring fails, and fail on a limit only for an integer longer than it; the one-pass reading
// of plain lines (FlatLine) must give what the parser alone gives.
//
// Input: the line, as it is.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "core/atom_lines/token_grammar.hpp"
#include "core/comment_line/comment_line.hpp"
#include "core/comment_line/float_repr.hpp"
#include "fuzz_support.hpp"

namespace {

using atomkit::CommentErrorKind;
using atomkit::CommentOptions;
using atomkit::CommentValue;
using atomkit::CommentValueKind;
using Parsed = std::expected<atomkit::ParsedComment, atomkit::CommentError>;

constexpr std::size_t small_digit_limit = 19;  // int64's widest, so that short inputs meet it

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
        case CommentValueKind::str_array:
            fuzz::check(value.ints.empty() && value.reals.empty(), "strs with numbers", line);
            fuzz::check(value.width == 0 || value.width == 5 || value.width == 21 || value.width == 32,
                        "a str width no number gives", line);
            for (const std::string& text : value.texts) check_text(text, utf8_line, line);
            break;
        case CommentValueKind::big_integer:
            fuzz::check(!atomkit::parse_int_token(value.text).has_value() && line.find(value.text) != std::string_view::npos,
                        "a big integer that fits int64 or is not from the line", line);
            break;
        case CommentValueKind::deferred:
            fuzz::check(!value.text.empty() && line.find(value.text) != std::string_view::npos,
                        "a deferred value that is not cut from the line", line);
            break;
    }
    fuzz::check(value.kind == CommentValueKind::float_array || !value.square, "a square value that is no float array", line);
    const std::size_t size = value.kind == CommentValueKind::str_array     ? value.texts.size()
                             : value.kind == CommentValueKind::float_array ? value.reals.size()
                                                                           : value.ints.size();
    fuzz::check(value.rows == 0 || (!value.square && size % value.rows == 0), "rows that do not split the values", line);
}

bool same_value(const CommentValue& a, const CommentValue& b) {
    auto bits = [](const std::vector<double>& reals) {
        std::vector<std::uint64_t> out;
        for (const double real : reals) out.push_back(std::bit_cast<std::uint64_t>(real));
        return out;
    };
    return a.kind == b.kind && a.square == b.square && a.rows == b.rows && a.width == b.width && a.boolean == b.boolean &&
           a.integer == b.integer && std::bit_cast<std::uint64_t>(a.real) == std::bit_cast<std::uint64_t>(b.real) &&
           a.text == b.text && a.ints == b.ints && bits(a.reals) == bits(b.reals) && a.texts == b.texts;
}

bool same_items(const atomkit::ParsedComment& a, const atomkit::ParsedComment& b) {
    return a.properties == b.properties && a.pbc == b.pbc && a.lattice.has_value() == b.lattice.has_value() &&
           (!a.lattice || (same_value(*a.lattice, *b.lattice) && a.lattice_place == b.lattice_place)) &&
           std::ranges::equal(a.info, b.info, [](const atomkit::CommentItem& x, const atomkit::CommentItem& y) {
               return x.key == y.key && same_value(x.value, y.value);
           });
}

bool any_deferred(const atomkit::ParsedComment& parsed) {
    if (parsed.lattice && parsed.lattice->kind == CommentValueKind::deferred) return true;
    return std::ranges::any_of(parsed.info, [](const atomkit::CommentItem& item) {
        return item.value.kind == CommentValueKind::deferred;
    });
}

// The digits of an integer token, its sign left out; 0 for any other text.
std::size_t int_digits(std::string_view text) {
    const std::size_t sign = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    const bool digits = text.size() > sign && std::ranges::all_of(text.substr(sign), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? text.size() - sign : 0;
}

// One reading's result well formed; `typed` when the reading typed everything.
void check_parsed(const Parsed& parsed, std::string_view line, bool utf8_line, bool typed) {
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
            case CommentErrorKind::nested_list:
                fuzz::check(!error.text.empty() && characters(error.text) <= 30, "a list item text of the wrong length", line);
                break;
            case CommentErrorKind::row_lengths:
                fuzz::check(typed && characters(error.text) <= 60 && error.text.starts_with("["),
                            "rows of different lengths quote no nested list", line);
                break;
            case CommentErrorKind::int_digits:
                fuzz::check(typed && int_digits(error.text) > 0, "a digit limit on no integer", line);
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
        return;
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
    fuzz::check(!typed || !any_deferred(*parsed), "a value deferred when typing everything", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const bool utf8_line = fuzz::is_valid_utf8(line);
    const Parsed deferring = atomkit::parse_comment_line(line);
    const Parsed typed = atomkit::parse_comment_line(line, CommentOptions{.type_all = true});
    const Parsed limited = atomkit::parse_comment_line(line, CommentOptions{.type_all = true, .int_digits_limit = small_digit_limit});
    check_parsed(deferring, line, utf8_line, false);
    check_parsed(typed, line, utf8_line, true);
    check_parsed(limited, line, utf8_line, true);

    // The one-pass reading of plain lines gives what the parser alone gives, refusals included.
    for (const CommentOptions options : {CommentOptions{}, CommentOptions{.type_all = true}}) {
        const Parsed fast = atomkit::parse_comment_line(line, options);
        const Parsed alone = atomkit::parse_declined_line(line, options);
        fuzz::check(fast.has_value() == alone.has_value() &&
                        (fast ? same_items(*fast, *alone)
                              : fast.error().kind == alone.error().kind && fast.error().text == alone.error().text),
                    "the one-pass reading differs from the parser's", line);
    }
    fuzz::check(deferring || !typed, "typing everything read a line deferring refused", line);
    if (deferring && !any_deferred(*deferring)) {
        fuzz::check(typed && same_items(*deferring, *typed), "typing everything changed what deferring typed", line);
    }
    if (!limited && limited.error().kind == CommentErrorKind::int_digits) {
        fuzz::check(int_digits(limited.error().text) > small_digit_limit, "a digit limit on a short integer", line);
    } else {
        fuzz::check(typed.has_value() == limited.has_value() && (!typed || same_items(*typed, *limited)),
                    "a digit limit changed a line without a long integer", line);
    }
    return 0;
}
