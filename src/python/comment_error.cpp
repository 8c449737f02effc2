// The messages of comment lines the parser refused, each with the text it quotes as Python's
// repr() writes it.
#include "python/comment_error.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "python/py_objects.hpp"

namespace atomkit {
namespace {

std::string quoted(std::string_view text) { return lossy_repr(new_str(text).get()); }

// The start of each message that ends with the error's text quoted; empty for the others.
std::string_view quoting_message(CommentErrorKind kind) {
    switch (kind) {
        case CommentErrorKind::cannot_parse: return "cannot parse ";
        case CommentErrorKind::lattice_numbers: return "Lattice needs 9 numbers, got ";
        case CommentErrorKind::pbc_flags: return "pbc needs three of T/F, got ";
        case CommentErrorKind::list_item: return "cannot parse the list item at ";
        case CommentErrorKind::nested_list: return "cannot parse the nested list at ";
        case CommentErrorKind::row_lengths: return "rows of different lengths in ";
        default: return {};
    }
}

// int(digits)'s refusal under `limit`: int()'s own error while the limit in force refuses it.
PyError digits_error(const std::string& digits, std::size_t limit) {
    if (!PyRef::steal(PyLong_FromString(digits.c_str(), nullptr, 10))) return PyError::fetch();
    const auto count = std::count_if(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    return value_error("Exceeds the limit (" + std::to_string(limit) + " digits) for integer string conversion: value has " +
                       std::to_string(count) + " digits; use sys.set_int_max_str_digits() to increase the limit");
}

}  // namespace

PyError comment_error(const CommentError& error, std::size_t digits_limit) {
    std::string message(quoting_message(error.kind));
    switch (error.kind) {
        case CommentErrorKind::no_value:
            message = error.text + " has no value";
            break;
        case CommentErrorKind::properties_twice:
            message = "Properties appears twice";
            break;
        case CommentErrorKind::lattice_twice:
            message = "Lattice appears twice";
            break;
        case CommentErrorKind::pbc_twice:
            message = "pbc appears twice";
            break;
        case CommentErrorKind::key_twice:
            message = "key " + quoted(error.text) + " appears twice";
            break;
        case CommentErrorKind::int_digits:
            return digits_error(error.text, digits_limit);
        default:
            message += quoted(error.text);
            break;
    }
    return value_error(std::move(message));
}

}  // namespace atomkit
