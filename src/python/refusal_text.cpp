// Refusals worded: the count line, the end of the source, a long line, the comment line (not
// UTF-8, refused by its parser or by its Properties) and the atom lines, each as reading the
// frame in Python words it.
#include "python/refusal_text.hpp"

#include <string>
#include <string_view>

#include "core/common/internal_failure.hpp"
#include "python/comment_error.hpp"
#include "python/py_objects.hpp"

namespace atomkit {
namespace {

using reader::PropertiesError;
using reader::PropertiesErrorKind;
using reader::Refusal;
using reader::RefusalKind;

using Line = unsigned long long;

// Bytes of the source as Python's bytes.decode('utf-8', 'replace') reads them.
PyRef decoded(std::string_view bytes) {
    return checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

// A line's text as the messages quote it: decoded, without the carriage return before its feed.
PyRef line_text(std::string_view bytes) {
    PyRef text = decoded(bytes);
    return checked(PyObject_CallMethod(text.get(), "rstrip", "s", "\r"));
}

PyRef count_message(const Refusal& refusal) {
    PyRef stripped = checked(PyObject_CallMethod(decoded(refusal.text).get(), "strip", nullptr));
    PyRef shown = checked(PyUnicode_Substring(stripped.get(), 0, 80));
    return checked(PyUnicode_FromFormat("line %llu: expected the number of atoms, found %R", Line{refusal.line},
                                        shown.get()));
}

PyRef long_line_message(const Refusal& refusal) {
    const std::uint64_t limit = refusal.line_limit;
    const std::string shown =
        limit >= (std::uint64_t{1} << 20) ? std::to_string(limit >> 20) + " MiB" : std::to_string(limit) + " bytes";
    return checked(PyUnicode_FromFormat(
        "line %llu: longer than %s without a line feed (not an extended XYZ file, or a corrupted one)",
        Line{refusal.line}, shown.c_str()));
}

// "Properties {p!r}: ..." as a Properties value the reader refuses has always been worded.
PyRef properties_message(const PropertiesError& error, std::string_view properties) {
    PyRef value = decoded(properties);
    PyRef name = decoded(error.name);
    PyRef text = decoded(error.text);
    switch (error.kind) {
        case PropertiesErrorKind::triples:
            return checked(PyUnicode_FromFormat("Properties %R: expected name:kind:count triples", value.get()));
        case PropertiesErrorKind::name:
            return checked(PyUnicode_FromFormat("Properties %R: bad or repeated name %R", value.get(), text.get()));
        case PropertiesErrorKind::kind:
            return checked(PyUnicode_FromFormat("Properties %R: %U has kind %R, not one of S, R, I, L", value.get(),
                                                name.get(), text.get()));
        case PropertiesErrorKind::count:
            return checked(
                PyUnicode_FromFormat("Properties %R: %U has count %R", value.get(), name.get(), text.get()));
    }
    fail("a Properties refusal of an unknown kind");
}

// Why the comment line was refused, in the words of what refused it (its parser, its
// Properties, int()); null for a line that is not UTF-8.
PyRef comment_reason(const Refusal& refusal, std::size_t digits_limit) {
    if (refusal.properties_error) return properties_message(*refusal.properties_error, refusal.properties);
    if (!refusal.comment_error) return PyRef();
    PyError error = comment_error(*refusal.comment_error, digits_limit);
    return checked(PyObject_Str(error.object()));
}

PyRef comment_message(const Refusal& refusal, std::size_t digits_limit) {
    const Line line{refusal.line};
    PyRef reason = comment_reason(refusal, digits_limit);
    if (!reason) {
        PyRef raw = checked(PyBytes_FromStringAndSize(refusal.text.data(), static_cast<Py_ssize_t>(refusal.text.size())));
        return checked(PyUnicode_FromFormat("line %llu: the comment line is not UTF-8: %R", line, raw.get()));
    }
    PyRef text = line_text(refusal.text);
    return checked(PyUnicode_FromFormat("line %llu: %U: %R", line, reason.get(), text.get()));
}

PyRef atoms_message(const Refusal& refusal) {
    PyRef message = decoded(refusal.message);
    if (!refusal.in_line) return checked(PyUnicode_FromFormat("line %llu: %U", Line{refusal.line}, message.get()));
    PyRef text = line_text(refusal.text);
    return checked(PyUnicode_FromFormat("line %llu: %U: %R", Line{refusal.line}, message.get(), text.get()));
}

}  // namespace

PyRef refusal_cause(const Refusal& refusal, std::size_t digits_limit) {
    if (refusal.kind == RefusalKind::atoms) return decoded(refusal.message);
    PyRef reason = refusal.kind == RefusalKind::comment ? comment_reason(refusal, digits_limit) : PyRef();
    return reason ? std::move(reason) : PyRef::borrow(Py_None);
}

PyRef refusal_message(const Refusal& refusal, std::size_t digits_limit) {
    switch (refusal.kind) {
        case RefusalKind::count:
            return count_message(refusal);
        case RefusalKind::no_comment:
            return checked(PyUnicode_FromFormat("line %llu: the file ends after the atom count, before the comment line",
                                                Line{refusal.line}));
        case RefusalKind::ends_inside:
            return checked(PyUnicode_FromFormat(
                "line %llu: the file ends inside a frame of %llu atoms (it holds %llu of its atom lines)",
                Line{refusal.line}, Line{refusal.natoms}, Line{refusal.lines_held}));
        case RefusalKind::long_line:
            return long_line_message(refusal);
        case RefusalKind::comment:
            return comment_message(refusal, digits_limit);
        case RefusalKind::atoms:
            return atoms_message(refusal);
        case RefusalKind::changed:
            return new_str("");
    }
    fail("a refusal of an unknown kind");
}

}  // namespace atomkit
