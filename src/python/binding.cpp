// Argument binding and the conversions of sym_width, col_types and lines.
#include "python/binding.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "python/py_objects.hpp"

namespace atomkit {
namespace {

std::string function_label(const FunctionSpec& function) {
    std::string label(function.name);
    label += "()";
    return label;
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c' — the way CPython lists missing arguments.
std::string quoted_name_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[nodiscard]] PyError type_error(std::string message) {
    return PyError::pending(PyExc_TypeError, std::move(message));
}

// A failed item conversion records the item's index for the argument's note.
template <class T>
Result<T> at_item(Result<T> converted, std::size_t index) {
    if (!converted) converted.error().set_item(index);
    return converted;
}

// Lengths come from the caller's __len__, which may lie; a real list or tuple is trusted,
// anything else reserves at most this many items up front and grows as items arrive.
constexpr Py_ssize_t untrusted_reserve_limit = 1 << 16;
constexpr std::size_t prefetch_distance = 8;

template <class Item, class Convert>
[[nodiscard]] Result<std::vector<Item>> extract_sequence(PyObject* object, Convert&& convert) {
    if (PyUnicode_Check(object)) return std::unexpected(type_error("Can't extract `str` to `Vec`"));
    if (!PySequence_Check(object)) return std::unexpected(conversion_error(object, "Sequence"));
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        drop_error();  // a broken __len__ only costs the reservation
        length = 0;
    }
    if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) {
        length = std::min(length, untrusted_reserve_limit);
    }
    std::vector<Item> items;
    items.reserve(static_cast<std::size_t>(length));
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        // What the list iterator would do, indexing the items directly so that the next
        // objects (scattered over the heap) can be fetched into cache ahead of use. The size
        // is read again every step because an item's __index__ may change the list.
        for (Py_ssize_t i = 0; i < Py_SIZE(object); ++i) {
            PyObject** slots = PySequence_Fast_ITEMS(object);
            if (i + static_cast<Py_ssize_t>(prefetch_distance) < Py_SIZE(object)) {
                __builtin_prefetch(slots[i + static_cast<Py_ssize_t>(prefetch_distance)]);
            }
            items.push_back(ATOMKIT_TRY(at_item(convert(PyRef::borrow(slots[i])), items.size())));
        }
        return items;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return fetched_error();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        items.push_back(ATOMKIT_TRY(at_item(convert(std::move(item)), items.size())));
    }
    if (PyErr_Occurred() != nullptr) return fetched_error();
    return items;
}

// "1 positional argument", "2 keyword-only arguments"
std::string counted(std::size_t count, std::string_view what) {
    return std::to_string(count) + " " + std::string(what) + (count == 1 ? " argument" : " arguments");
}

// "f() takes from 1 to 2 positional arguments but 3 were given", as CPython words it for a def.
PyError too_many_positional(const FunctionSpec& function, std::size_t given, std::size_t keyword_only_given) {
    const std::size_t most = function.positional_count();
    const std::size_t least = std::min(function.required_count(), most);
    std::string message = function_label(function) + " takes ";
    message += least == most ? counted(most, "positional")
                             : "from " + std::to_string(least) + " to " + std::to_string(most) + " positional arguments";
    message += " but ";
    if (keyword_only_given > 0) {
        message += counted(given, "positional") + " (and " + counted(keyword_only_given, "keyword-only") + ") were given";
    } else {
        message += std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    }
    return type_error(std::move(message));
}

// The parameter a keyword names, or `count` for none.
std::size_t keyword_parameter(const FunctionSpec& function, PyObject* name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
        drop_error();  // an undecodable name matches no parameter
        return function.parameters.size();
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    const auto found = std::find(function.parameters.begin(), function.parameters.end(), text);
    return static_cast<std::size_t>(found - function.parameters.begin());
}

}  // namespace

[[nodiscard]] Result<CallArguments> flatten_arguments(PyObject* args, PyObject* kwargs) {
    CallArguments call;
    call.positional = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < call.positional; ++i) call.owned.push_back(PyRef::borrow(PyTuple_GET_ITEM(args, i)));
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        call.names = checked(PyTuple_New(PyDict_Size(kwargs)));
        Py_ssize_t next = 0;
        Py_ssize_t k = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Reading a dict runs no Python code; the keys are strs (CPython makes sure of that).
        while (PyDict_Next(kwargs, &next, &key, &value) && k < PyTuple_GET_SIZE(call.names.get())) {
            PyTuple_SET_ITEM(call.names.get(), k++, PyRef::borrow(key).release());
            call.owned.push_back(PyRef::borrow(value));
        }
    }
    for (const PyRef& value : call.owned) call.values.push_back(value.get());
    return call;
}

[[nodiscard]] Result<void> bind_arguments(const FunctionSpec& function, PyObject* const* args,
                            Py_ssize_t nargsf, PyObject* kwnames,
                            std::span<PyObject*> slots) {
    const std::size_t count = function.parameters.size();
    const std::size_t positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    const std::size_t most_positional = function.positional_count();
    const Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    std::fill(slots.begin(), slots.end(), nullptr);
    if (positional > most_positional) {
        std::size_t keyword_only_given = 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            const std::size_t match = keyword_parameter(function, PyTuple_GET_ITEM(kwnames, k));
            keyword_only_given += match < count && match >= most_positional;
        }
        return std::unexpected(too_many_positional(function, positional, keyword_only_given));
    }
    for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t match = keyword_parameter(function, name);
        if (match == count) {
            return std::unexpected(type_error(function_label(function) +
                                              " got an unexpected keyword argument '" +
                                              lossy_text(name) + "'"));
        }
        if (slots[match] != nullptr) {
            return std::unexpected(type_error(
                function_label(function) + " got multiple values for argument '" +
                std::string(function.parameters[match]) + "'"));
        }
        slots[match] = args[positional + static_cast<std::size_t>(k)];
    }
    std::vector<std::string_view> missing;
    for (std::size_t j = positional; j < function.required_count(); ++j) {
        if (slots[j] == nullptr) missing.push_back(function.parameters[j]);
    }
    if (!missing.empty()) {
        return std::unexpected(type_error(
            function_label(function) + " missing " + std::to_string(missing.size()) +
            " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
            ": " + quoted_name_list(missing)));
    }
    return {};
}

[[nodiscard]] PyError argument_error(PyError error, std::string_view parameter) {
    // The message of an OverflowError stays CPython's (or ours); a note names the argument,
    // the item and what the argument takes. Exceptions of the caller's own code (an
    // __index__ raising) carry no expectation and get no note.
    std::string note = "argument '";
    note += parameter;
    note += '\'';
    if (const auto item = error.item()) note += ", item " + std::to_string(*item);
    if (!error.expectation().empty()) {
        note += ": ";
        note += error.expectation();
    }
    PyObject* old = error.object();
    if (Py_TYPE(old) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        if (Py_TYPE(old) == reinterpret_cast<PyTypeObject*>(PyExc_OverflowError) && !error.expectation().empty()) {
            error.add_note(std::move(note));
        }
        return error;
    }
    std::string message = "argument '";
    message += parameter;
    message += "': ";
    message += lossy_text(old);
    PyError replaced = PyError::pending(PyExc_TypeError, std::move(message));
    for (std::string& kept : std::move(error).take_notes()) replaced.add_note(std::move(kept));
    if (error.item()) replaced.add_note(std::move(note));
    // The old exception is dropped; only its cause survives, and setting the cause also
    // suppresses the context, as CPython's own argument errors do.
    PyException_SetCause(replaced.object(), PyException_GetCause(old));
    return replaced;
}

[[nodiscard]] Result<std::uint64_t> extract_u64(PyObject* object) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return fetched_error();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        PyError error = PyError::fetch();
        error.set_expectation("an integer from 0 to 18446744073709551615 is needed");
        return std::unexpected(std::move(error));
    }
    return static_cast<std::uint64_t>(value);
}

[[nodiscard]] Result<std::int64_t> extract_i64(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return fetched_error();
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred() != nullptr) {
        PyError error = PyError::fetch();
        error.set_expectation("an integer from -9223372036854775808 to 9223372036854775807 is needed");
        return std::unexpected(std::move(error));
    }
    return static_cast<std::int64_t>(value);
}

[[nodiscard]] Result<std::vector<std::uint8_t>> extract_byte_sequence(PyObject* object) {
    // bytes and bytearray iterate as their own bytes: taken whole, as the items would be.
    if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object)) {
        const auto* first = reinterpret_cast<const std::uint8_t*>(
            PyBytes_CheckExact(object) ? PyBytes_AS_STRING(object) : PyByteArray_AS_STRING(object));
        return std::vector<std::uint8_t>(first, first + Py_SIZE(object));
    }
    return extract_sequence<std::uint8_t>(object, [](PyRef item) -> Result<std::uint8_t> {
        long value = PyLong_AsLong(item.get());
        constexpr std::string_view expectation = "each item is a column code from 0 to 255";
        if (value == -1 && PyErr_Occurred() != nullptr) {
            PyError error = PyError::fetch();
            // Only an int's own overflow: no __index__ of the caller's ran.
            if (PyLong_Check(item.get())) error.set_expectation(expectation);
            return std::unexpected(std::move(error));
        }
        if (value < 0 || value > 255) {
            PyError error = PyError::pending(PyExc_OverflowError, "out of range integral type conversion attempted");
            error.set_expectation(expectation);
            return std::unexpected(std::move(error));
        }
        return static_cast<std::uint8_t>(value);
    });
}

namespace {

// A line must be a str, and its UTF-8 form must exist (non-ASCII text gets it cached here;
// a lone surrogate makes it fail with UnicodeEncodeError).
Result<void> check_line(PyObject* line) {
    if (!PyUnicode_Check(line)) return std::unexpected(conversion_error(line, "PyString"));
    if (!PyUnicode_IS_COMPACT_ASCII(line) && PyUnicode_AsUTF8AndSize(line, nullptr) == nullptr) {
        return fetched_error();
    }
    return {};
}

}  // namespace

Result<LineObjects> extract_lines(PyObject* object) {
    LineObjects lines;
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        // Checking a line runs no Python code, so the sequence cannot change meanwhile.
        lines.sequence_ = PyRef::borrow(object);
        lines.count_ = static_cast<std::size_t>(Py_SIZE(object));
        ATOMKIT_TRY(lines.recheck());
        return lines;
    }
    lines.collected_ = ATOMKIT_TRY(extract_sequence<PyRef>(object, [](PyRef item) -> Result<PyRef> {
        ATOMKIT_TRY(check_line(item.get()));
        return item;
    }));
    lines.count_ = lines.collected_.size();
    return lines;
}

Result<void> LineObjects::recheck() {
    if (sequence_) count_ = static_cast<std::size_t>(Py_SIZE(sequence_.get()));
    for (std::size_t i = 0; i < count_; ++i) {
        if (i + prefetch_distance < count_) prefetch(i + prefetch_distance);
        ATOMKIT_TRY(check_line(item(i)));
    }
    return {};
}

}  // namespace atomkit
