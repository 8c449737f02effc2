// The entry routine of the table writer: write_frames_rs, a batch's atom lines and its comment
// items as columns in, the frames' whole text out as bytes.
#include <array>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/huge_pages.hpp"
#include "core/frames/frame_text.hpp"
#include "python/array_argument.hpp"
#include "python/binding.hpp"
#include "python/borrow_registry.hpp"
#include "python/boundary.hpp"
#include "python/entries.hpp"
#include "python/py_objects.hpp"

namespace atomkit {
namespace {

using frames::ItemColumn;
using frames::ItemKind;

constexpr std::array<std::string_view, 3> text_parameters = {"block", "frames", "items"};
enum TextParameter : std::size_t { text_block, text_frames, text_items };
constexpr FunctionSpec text_spec{"write_frames_rs", text_parameters};

// The item columns and the arrays they read, each under a shared borrow until the text is
// written (the vectors only ever move their matrices, which keeps the borrows).
struct ItemColumns {
    std::vector<ItemColumn> columns;
    std::vector<ReadonlyMatrix<double>> reals;
    std::vector<ReadonlyMatrix<std::int64_t>> integers;
    std::vector<ReadonlyMatrix<std::uint8_t>> flags;
};

[[nodiscard]] Result<std::int64_t> exact_int(PyObject* object) {
    if (!PyLong_CheckExact(object)) return std::unexpected(conversion_error(object, "PyLong"));
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred() != nullptr) return fetched_error();
    return value;
}

// A str's UTF-8 text, kept by the object (ASCII text is its own UTF-8).
[[nodiscard]] Result<std::string_view> utf8_text(PyObject* object) {
    if (!PyUnicode_Check(object)) return std::unexpected(conversion_error(object, "PyString"));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return fetched_error();
    return std::string_view(text, static_cast<std::size_t>(size));
}

// A list of str, and where `absent` allows, None for a frame without the item.
[[nodiscard]] Result<std::vector<std::string_view>> texts_of(PyObject* object, bool absent) {
    if (!PyList_CheckExact(object)) return std::unexpected(conversion_error(object, "PyList"));
    std::vector<std::string_view> texts;
    texts.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
        PyObject* item = PyList_GET_ITEM(object, i);
        if (absent && item == Py_None) {
            texts.push_back(frames::absent_text);
        } else {
            texts.push_back(ATOMKIT_TRY(utf8_text(item)));
        }
    }
    return texts;
}

template <class T>
[[nodiscard]] Result<MatrixView<T>> borrowed(PyObject* object, std::vector<ReadonlyMatrix<T>>& held) {
    held.push_back(ATOMKIT_TRY(ReadonlyMatrix<T>::extract(object)));
    return held.back().view();
}

// (kind, prefix, values, suffix, present or None): kind 1 float64 values, 2 int64 values.
[[nodiscard]] Result<void> add_row_item(PyObject* const* fields, ItemColumn& column, ItemColumns& items) {
    column.prefix = ATOMKIT_TRY(utf8_text(fields[1]));
    column.suffix = ATOMKIT_TRY(utf8_text(fields[3]));
    if (column.kind == ItemKind::reals) {
        column.reals = ATOMKIT_TRY(borrowed(fields[2], items.reals));
    } else {
        column.integers = ATOMKIT_TRY(borrowed(fields[2], items.integers));
    }
    if (fields[4] != Py_None) column.present = ATOMKIT_TRY(borrowed(fields[4], items.flags));
    return {};
}

// One item's tuple: (0, texts with None where absent), (1 or 2, prefix, values, suffix,
// present or None), (3, texts, index).
[[nodiscard]] Result<void> add_item(PyObject* tuple, ItemColumns& items) {
    if (!PyTuple_CheckExact(tuple) || PyTuple_GET_SIZE(tuple) == 0) {
        return std::unexpected(conversion_error(tuple, "PyTuple"));
    }
    static constexpr std::array<Py_ssize_t, 4> sizes = {2, 5, 5, 3};
    const std::int64_t kind = ATOMKIT_TRY(exact_int(PyTuple_GET_ITEM(tuple, 0)));
    if (kind < 0 || kind > 3 || PyTuple_GET_SIZE(tuple) != sizes[static_cast<std::size_t>(kind)]) {
        return std::unexpected(value_error("an item is (0, texts), (1, prefix, floats, suffix, present), "
                                           "(2, prefix, ints, suffix, present) or (3, texts, index)"));
    }
    PyObject* const* fields = &PyTuple_GET_ITEM(tuple, 0);
    ItemColumn column{.kind = static_cast<ItemKind>(kind)};
    if (column.kind == ItemKind::texts || column.kind == ItemKind::choice) {
        column.texts = ATOMKIT_TRY(texts_of(fields[1], column.kind == ItemKind::texts));
        if (column.kind == ItemKind::choice) column.integers = ATOMKIT_TRY(borrowed(fields[2], items.integers));
    } else {
        ATOMKIT_TRY(add_row_item(fields, column, items));
    }
    items.columns.push_back(std::move(column));
    return {};
}

[[nodiscard]] Result<ItemColumns> extract_items(PyObject* object) {
    if (!PyList_CheckExact(object)) return std::unexpected(conversion_error(object, "PyList"));
    ItemColumns items;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) ATOMKIT_TRY(add_item(PyList_GET_ITEM(object, i), items));
    return items;
}

[[nodiscard]] Result<std::string_view> exact_bytes(PyObject* object) {
    if (!PyBytes_CheckExact(object)) return std::unexpected(conversion_error(object, "PyBytes"));
    return std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
}

PyRef new_bytes(std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    return checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

// glibc's malloc keeps a freed buffer for reuse when it is no larger than its mmap threshold
// (the size of the largest mapping freed so far, up to 32 MiB), and gives the heap back past
// twice that. A batch frees its block and its text at once, about twice the text: asking for
// twice the text's room (only what is written is ever touched) keeps both in reuse, where a
// buffer taken fresh from the system costs a page fault every 4 KiB (as long as writing it).
constexpr std::size_t reused_room_limit = std::size_t{32} << 20;

// The text written into a bytes object of that room, then cut to its length in place: not by
// _PyBytes_Resize, which would move a large buffer to a smaller mapping and so lower the
// threshold again. The object is not yet shared, and its memory is freed whole whatever its
// size says.
PyRef frames_bytes(const frames::FrameSlices& slices, std::span<const ItemColumn> columns) {
    const std::size_t bound = frames::frame_text_bound(slices, columns);
    const std::size_t room = bound <= reused_room_limit ? 2 * bound : bound;
    PyRef bytes = new_bytes(room);
    char* text = PyBytes_AS_STRING(bytes.get());
    advise_huge_pages(text, bound);
    const std::size_t length = frames::write_frame_text(slices, columns, text);
    if (length > bound) fail("the frames' text overran its bound");
    if (length != room) {
        text[length] = '\0';
        Py_SET_SIZE(reinterpret_cast<PyVarObject*>(bytes.get()), static_cast<Py_ssize_t>(length));
    }
    return bytes;
}

[[nodiscard]] Result<PyRef> write_frames(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<text_parameters.size()> arguments(text_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    // Every argument is taken by its exact type, so no Python code of the caller's runs once
    // NumPy is imported here: what is checked below stays as it is until the text is written.
    prepare_borrows();
    const std::string_view block = ATOMKIT_TRY(arguments.convert(text_block, exact_bytes));
    const auto frame_rows = ATOMKIT_TRY(arguments.convert(text_frames, ReadonlyMatrix<std::int64_t>::extract));
    const ItemColumns items = ATOMKIT_TRY(arguments.convert(text_items, extract_items));
    const frames::FrameSlices slices{block, frame_rows.view()};
    if (auto refusal = frames::frame_text_refusal(slices, items.columns)) return std::unexpected(value_error(*refusal));
    return frames_bytes(slices, items.columns);
}

}  // namespace

PyObject* write_frames_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return write_frames(args, nargsf, kwnames); });
}

}  // namespace atomkit
