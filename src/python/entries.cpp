// Entry routines: bind, convert in parameter order, run the core, build the result.
#include "python/entries.hpp"

#include <array>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/atom_block/atom_block.hpp"
#include "core/atom_lines/atom_lines.hpp"
#include "core/atom_lines/separator_note.hpp"
#include "core/atom_lines/split_parse.hpp"
#include "core/common/huge_pages.hpp"
#include "core/common/thread_pool.hpp"
#include "python/array_argument.hpp"
#include "python/binding.hpp"
#include "python/borrow_registry.hpp"
#include "python/boundary.hpp"
#include "python/held_buffer.hpp"
#include "python/read_result.hpp"

namespace atomkit {
namespace {

constexpr std::array<std::string_view, 6> write_parameters = {
    "sym_codepoints", "sym_width", "float_mat", "int_mat", "bool_mat", "col_types"};
enum WriteParameter : std::size_t { sym_codepoints, sym_width, float_mat, int_mat, bool_mat, write_col_types };
constexpr std::array<std::string_view, 2> read_parameters = {"lines", "col_types"};
enum ReadParameter : std::size_t { lines, read_col_types };

constexpr std::array<std::string_view, 4> block_parameters = {"data", "offset", "natoms", "col_types"};
enum BlockParameter : std::size_t { block_data, block_offset, block_natoms, block_col_types };

constexpr FunctionSpec write_spec{"write_atoms_rs", write_parameters};
constexpr FunctionSpec write_bytes_spec{"write_atoms_bytes_rs", write_parameters};
constexpr FunctionSpec read_spec{"read_atom_lines_rs", read_parameters};
constexpr FunctionSpec block_spec{"read_atom_block_rs", block_parameters};

constexpr std::array<std::string_view, 1> set_threads_parameters = {"n"};
constexpr std::array<std::string_view, 0> no_parameters = {};
constexpr FunctionSpec set_threads_spec{"set_threads", set_threads_parameters};
constexpr FunctionSpec get_threads_spec{"get_threads", no_parameters};
constexpr std::array<std::string_view, 1> threshold_parameters = {"atoms"};
constexpr FunctionSpec threshold_spec{"_set_parallel_threshold", threshold_parameters};

// Below this many atoms a block parses in less time than handing the interpreter lock to
// another thread and back takes (a frame of a large file or map is judged by its own size).
constexpr std::uint64_t min_atoms_without_lock = 200;

// The ValueError of a line that does not parse; the note about Unicode spaces is looked for
// only here, on the way out.
PyError line_error(ParseFailure failure, std::string_view line) {
    PyError error = PyError::pending(PyExc_ValueError, std::move(failure.message));
    if (failure.in_line) {
        if (std::string note = unicode_space_note(line); !note.empty()) error.add_note(std::move(note));
    }
    return error;
}

// Builds the block straight inside a 1-byte str, which is then cut to length: no second
// copy of ~10^8 bytes and no decoding pass for the usual ASCII text. The str is ours alone
// until it is returned, and it is returned only when every byte written is ASCII.
class StrSink final : public TextSink {
public:
    char* grow(std::size_t capacity, std::size_t used) override {
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        const auto size = static_cast<Py_ssize_t>(capacity);
        if (!text_) {
            text_ = PyRef::steal(PyUnicode_New(size, 127));
            if (!text_) api_call_failed();
        } else {
            // Not yet hashed or shared, so CPython resizes it in place or moves it, keeping
            // the bytes written so far; on failure it leaves ours as it was.
            resize(size);
        }
        char* data = static_cast<char*>(PyUnicode_DATA(text_.get()));
        advise_huge_pages(data + used, capacity - used);
        return data;
    }

    // The result str. Text with a non-ASCII byte is decoded into a str of the kind it needs;
    // the writer encodes every code point whole, so it is valid UTF-8.
    PyRef take(const BlockText& text) && {
        if (!text_) return empty_str();
        if (!text.ascii) {
            PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(
                static_cast<const char*>(PyUnicode_DATA(text_.get())),
                static_cast<Py_ssize_t>(text.length), "strict"));
            if (!decoded) api_call_failed();
            return decoded;
        }
        resize(static_cast<Py_ssize_t>(text.length));
        return std::move(text_);
    }

private:
    void resize(Py_ssize_t size) {
        PyObject* text = text_.release();
        const int status = PyUnicode_Resize(&text, size);
        text_ = PyRef::steal(text);
        if (status < 0) api_call_failed();
    }
    static PyRef empty_str() {
        PyRef empty = PyRef::steal(PyUnicode_New(0, 0));
        if (!empty) api_call_failed();
        return empty;
    }
    PyRef text_;
};

// The same block as bytes: the UTF-8 text built in place in a bytes object, cut to length.
class BytesSink final : public TextSink {
public:
    char* grow(std::size_t capacity, std::size_t used) override {
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        const auto size = static_cast<Py_ssize_t>(capacity);
        if (!bytes_) {
            bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, size));
            if (!bytes_) api_call_failed();
        } else {
            resize(size);
        }
        char* data = PyBytes_AS_STRING(bytes_.get());
        advise_huge_pages(data + used, capacity - used);
        return data;
    }

    PyRef take(const BlockText& text) && {
        if (!bytes_) {
            PyRef empty = PyRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
            if (!empty) api_call_failed();
            return empty;
        }
        resize(static_cast<Py_ssize_t>(text.length));
        return std::move(bytes_);
    }

private:
    // Not yet shared, so CPython resizes it in place or moves it; on failure the object is
    // gone and MemoryError set.
    void resize(Py_ssize_t size) {
        PyObject* bytes = bytes_.release();
        if (_PyBytes_Resize(&bytes, size) < 0) api_call_failed();
        bytes_ = PyRef::steal(bytes);
    }
    PyRef bytes_;
};

template <class Sink>
[[nodiscard]] Result<PyRef> write_atoms(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                                        PyObject* kwnames) {
    BoundArguments<write_parameters.size()> arguments(spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    // Arrays are checked in parameter order, but borrowed (and read) only once every
    // argument is converted: converting sym_width and col_types may run the caller's Python
    // code (__index__, __iter__), which could reshape or retype an array checked before.
    ATOMKIT_TRY(arguments.convert(sym_codepoints, check_matrix<std::uint32_t>));
    const std::uint64_t width = ATOMKIT_TRY(arguments.convert(sym_width, extract_u64));
    ATOMKIT_TRY(arguments.convert(float_mat, check_matrix<double>));
    ATOMKIT_TRY(arguments.convert(int_mat, check_matrix<std::int64_t>));
    ATOMKIT_TRY(arguments.convert(bool_mat, check_matrix<std::uint8_t>));
    const auto codes = ATOMKIT_TRY(arguments.convert(write_col_types, extract_byte_sequence));

    // The first borrow of the process imports NumPy's module for the registry; done here,
    // any Python code that this runs comes before the arrays are checked for the last time.
    // From the borrows to the end of the call no Python code runs.
    prepare_borrows();
    // Declared in parameter order, so the borrows are given back in reverse order on every
    // way out.
    const auto symbols = ATOMKIT_TRY(arguments.convert(sym_codepoints, ReadonlyMatrix<std::uint32_t>::extract));
    const auto floats = ATOMKIT_TRY(arguments.convert(float_mat, ReadonlyMatrix<double>::extract));
    const auto ints = ATOMKIT_TRY(arguments.convert(int_mat, ReadonlyMatrix<std::int64_t>::extract));
    const auto bools = ATOMKIT_TRY(arguments.convert(bool_mat, ReadonlyMatrix<std::uint8_t>::extract));

    // A large block is written on the module's threads, which read only these views (the
    // arrays stay borrowed, and the interpreter lock held, until they are done).
    const AtomBlockInput input{symbols.view(), width, floats.view(), ints.view(), bools.view(), codes};
    Sink sink;
    const BlockText text = build_atom_block(input, sink);
    return std::move(sink).take(text);
}

[[nodiscard]] Result<PyRef> read_atom_lines(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<read_parameters.size()> arguments(read_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    LineObjects texts = ATOMKIT_TRY(arguments.convert(lines, extract_lines));
    const auto codes = ATOMKIT_TRY(arguments.convert(read_col_types, extract_byte_sequence));
    // Converting col_types from anything but bytes may run the caller's Python code, which
    // could change the lines checked before.
    if (!PyBytes_CheckExact(arguments.slot(read_col_types)) &&
        !PyByteArray_CheckExact(arguments.slot(read_col_types))) {
        ATOMKIT_TRY(arguments.convert(lines, [&texts](PyObject*) { return texts.recheck(); }));
    }
    auto parsed = [&] {
        // A large frame is parsed on the module's threads: the lines' UTF-8 is taken here,
        // with the interpreter lock held (as it stays), and the threads read only that.
        if (const std::size_t ranges = parallel_ranges(texts.size()); ranges > 1) {
            std::vector<std::string_view> views(texts.size());
            for (std::size_t i = 0; i < views.size(); ++i) {
                if (i + 8 < views.size()) texts.prefetch(i + 8);
                views[i] = texts[i];
            }
            return parse_lines_split(views, codes, ranges);
        }
        return parse_line_source(texts, codes);
    }();
    if (!parsed) {
        const std::size_t row = parsed.error().row;
        return std::unexpected(line_error(std::move(parsed.error()), row < texts.size() ? texts[row] : ""));
    }
    return build_read_result(std::move(*parsed));
}

[[nodiscard]] Result<PyRef> read_atom_block(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<block_parameters.size()> arguments(block_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    // The data is checked in parameter order but held only after the other arguments are
    // converted: that may run the caller's Python code, which could free memory held before.
    ATOMKIT_TRY(arguments.convert(block_data, HeldBuffer::check));
    const std::uint64_t offset = ATOMKIT_TRY(arguments.convert(block_offset, extract_u64));
    const std::uint64_t natoms = ATOMKIT_TRY(arguments.convert(block_natoms, extract_u64));
    const auto codes = ATOMKIT_TRY(arguments.convert(block_col_types, extract_byte_sequence));
    const HeldBuffer data = ATOMKIT_TRY(arguments.convert(block_data, HeldBuffer::extract));

    auto parse = [&] { return parse_atom_block(data.bytes(), offset, natoms, codes); };
    std::expected<ParsedBlock, ParseFailure> parsed = [&] {
        if (natoms < min_atoms_without_lock || !data.memory_is_pinned()) return parse();
        const ReleasedLock released;
        return parse();
    }();
    if (!parsed) {
        std::string_view line = data.bytes().substr(std::min<std::size_t>(parsed.error().line_start, data.bytes().size()));
        line = line.substr(0, line.find('\n'));
        return std::unexpected(line_error(std::move(parsed.error()), line));
    }
    PyRef end = PyRef::steal(PyLong_FromSize_t(parsed->end));
    if (!end) api_call_failed();
    // The str objects of string columns are made here, with the lock held again.
    PyRef columns = ATOMKIT_TRY(build_read_result(std::move(parsed->atoms)));
    PyRef result = PyRef::steal(PyTuple_Pack(2, columns.get(), end.get()));
    if (!result) api_call_failed();
    return result;
}

// A whole number of threads from 1 to max_thread_count.
[[nodiscard]] Result<std::size_t> extract_thread_count(PyObject* object) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return fetched_error();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (n == -1 && overflow == 0 && PyErr_Occurred() != nullptr) return fetched_error();
    if (overflow != 0 || n < 1 || static_cast<unsigned long long>(n) > max_thread_count) {
        PyRef text = PyRef::steal(PyObject_Repr(index.get()));
        if (!text) return fetched_error();
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (utf8 == nullptr) return fetched_error();
        return std::unexpected(PyError::pending(
            PyExc_ValueError, "set_threads: n must be a whole number from 1 to " + std::to_string(max_thread_count) +
                                  ", not " + std::string(utf8, static_cast<std::size_t>(size))));
    }
    return static_cast<std::size_t>(n);
}

PyRef size_object(std::size_t value) {
    PyRef object = PyRef::steal(PyLong_FromSize_t(value));
    if (!object) api_call_failed();
    return object;
}

[[nodiscard]] Result<PyRef> set_threads(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<set_threads_parameters.size()> arguments(set_threads_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    const std::size_t n = ATOMKIT_TRY(arguments.convert(0, extract_thread_count));
    set_thread_count(n);
    return PyRef::borrow(Py_None);
}

[[nodiscard]] Result<PyRef> get_threads(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<no_parameters.size()> arguments(get_threads_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    return size_object(thread_count());
}

[[nodiscard]] Result<PyRef> set_parallel_threshold(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<threshold_parameters.size()> arguments(threshold_spec);
    ATOMKIT_TRY(arguments.bind(args, nargsf, kwnames));
    const std::uint64_t atoms = ATOMKIT_TRY(arguments.convert(0, extract_u64));
    return size_object(set_parallel_min_rows(static_cast<std::size_t>(atoms)));
}

}  // namespace

PyObject* write_atoms_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return run_at_boundary([&] { return write_atoms<StrSink>(write_spec, args, nargsf, kwnames); });
}

PyObject* write_atoms_bytes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return write_atoms<BytesSink>(write_bytes_spec, args, nargsf, kwnames); });
}

PyObject* set_threads_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return set_threads(args, nargsf, kwnames); });
}

PyObject* get_threads_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return get_threads(args, nargsf, kwnames); });
}

PyObject* set_parallel_threshold_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return run_at_boundary([&] { return set_parallel_threshold(args, nargsf, kwnames); });
}

PyObject* read_atom_lines_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return run_at_boundary([&] { return read_atom_lines(args, nargsf, kwnames); });
}

PyObject* read_atom_block_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return run_at_boundary([&] { return read_atom_block(args, nargsf, kwnames); });
}

}  // namespace atomkit
