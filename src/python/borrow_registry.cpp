// The shared borrow registry: finding or publishing its capsule, the four registry
// functions this module serves to every module when it created the registry, and its own borrows.
#include "python/borrow_registry.hpp"

#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <memory>
#include <new>
#include <numeric>
#include <string>
#include <vector>

#include "core/common/internal_failure.hpp"
#include "python/numpy_api.hpp"
#include "python/process_cell.hpp"
#include "python/py_error.hpp"

namespace atomkit {
namespace {

constexpr const char* capsule_name = "_NATIVE_NUMPY_BORROW_CHECKING_API";

constexpr std::int32_t granted = 0;
constexpr std::int32_t conflict = -1;
constexpr std::int32_t not_writeable = -2;

using AcquireFn = std::int32_t (*)(void* state, PyObject* array);
using ReleaseFn = void (*)(void* state, PyObject* array);

// The capsule's record, version 1. Later versions only append fields, so every record of
// version 1 or more starts with exactly these six machine words.
struct BorrowApi {
    std::uint64_t version;
    void* state;
    AcquireFn acquire;
    AcquireFn acquire_mut;
    ReleaseFn release;
    ReleaseFn release_mut;
};
static_assert(sizeof(BorrowApi) == 6 * sizeof(void*));

// Which memory an array can reach: the byte range [start, end) spanned by its elements,
// its data pointer, the gcd of its strides (the step pattern within the range) and the size
// of one element (how many bytes from each step on it covers). Views with equal keys are
// the same borrow.
struct BorrowKey {
    std::uintptr_t start;
    std::uintptr_t end;
    std::uintptr_t data;
    std::uint64_t stride_gcd;
    std::uint64_t element_size;

    bool operator==(const BorrowKey&) const = default;
};

// One registered borrow: the base address its view belongs to, its key, and a counter of
// n > 0 shared borrows or -1 for one exclusive borrow. An entry whose counter would reach 0
// is removed, so presence is the same as being borrowed.
struct Borrow {
    std::uintptr_t base;
    BorrowKey key;
    std::int64_t counter;
};
constexpr std::int64_t exclusive = -1;

struct RegistryState {
    // Both captured before the capsule is published, so the registry functions, which other
    // modules call at any time, never need NumPy's API table and can never fail on it.
    PyTypeObject* array_type;
    bool numpy2_layout;
    // Live borrows are few (each lasts one native call), so one flat array scanned in full
    // is cheaper than hashing, and once grown it serves every later call without allocating.
    std::vector<Borrow> borrows;
};

bool is_array(const RegistryState& state, PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    return type == state.array_type || PyType_IsSubtype(type, state.array_type) != 0;
}

// Views of one buffer share this address: the chain of `base` fields is followed through
// arrays to the object that really owns the memory.
std::uintptr_t base_address(const RegistryState& state, PyObject* array) noexcept {
    PyObject* current = array;
    for (;;) {
        PyObject* base = numpy::fields(current)->base;
        if (base == nullptr) return reinterpret_cast<std::uintptr_t>(current);
        if (!is_array(state, base)) return reinterpret_cast<std::uintptr_t>(base);
        current = base;
    }
}

std::uint64_t magnitude(Py_ssize_t value) noexcept {
    const auto bits = static_cast<std::uint64_t>(value);
    return value < 0 ? 0 - bits : bits;
}

// Address arithmetic is done modulo the word size: NumPy lets strides and offsets be
// anything (as_strided), and a borrow key must never be undefined behaviour to compute.
BorrowKey borrow_key(const RegistryState& state, PyObject* array) noexcept {
    const PyArrayObject_fields* f = numpy::fields(array);
    const auto data = reinterpret_cast<std::uintptr_t>(f->data);
    const auto element_size =
        static_cast<std::uint64_t>(numpy::descr_element_size(reinterpret_cast<PyObject*>(f->descr), state.numpy2_layout));
    BorrowKey key{data, data, data, f->nd == 0 ? 1U : 0U, element_size};
    bool empty = f->nd == 0;
    for (int axis = 0; axis < f->nd; ++axis) {
        key.stride_gcd = std::gcd(key.stride_gcd, magnitude(f->strides[axis]));
        if (f->dimensions[axis] == 0) empty = true;
    }
    if (empty) return key;
    for (int axis = 0; axis < f->nd; ++axis) {
        const Py_ssize_t stride = f->strides[axis];
        const std::uintptr_t span = static_cast<std::uintptr_t>(f->dimensions[axis] - 1) *
                                    static_cast<std::uintptr_t>(stride);
        if (stride < 0) {
            key.start += span;
        } else {
            key.end += span;
        }
    }
    key.end += element_size;
    return key;
}

// Keys conflict when their ranges overlap and their elements can share a byte. Every
// element of a key starts at its data pointer plus a multiple of its stride gcd, so modulo
// g, the gcd of both keys' gcds, the lower key covers the bytes [0, e1) and the other one
// [d, d + e2), d being the distance of their data pointers modulo g: they meet when d < e1
// or when the other key's bytes run past g into the next period. That keeps the even and
// the odd columns of one matrix apart, but not a uint32 view of the high words of a float64
// matrix from the matrix itself. Two views that only repeat a single element (all strides
// 0) have no period to compare, so overlapping ranges count as a conflict there.
bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept {
    if (a.start >= b.end || b.start >= a.end) return false;
    const std::uint64_t period = std::gcd(a.stride_gcd, b.stride_gcd);
    if (period == 0) return true;
    const BorrowKey& low = a.data <= b.data ? a : b;
    const BorrowKey& high = a.data <= b.data ? b : a;
    const std::uint64_t offset = (high.data - low.data) % period;
    return offset < low.element_size || offset + high.element_size > period;
}

// The entry of exactly this borrow, or null.
Borrow* find(RegistryState& state, std::uintptr_t base, const BorrowKey& key) noexcept {
    for (Borrow& borrow : state.borrows) {
        if (borrow.base == base && borrow.key == key) return &borrow;
    }
    return nullptr;
}

void erase(RegistryState& state, Borrow* entry) noexcept {
    *entry = state.borrows.back();
    state.borrows.pop_back();
}

// The four registry functions. Other modules call them through the capsule with the
// interpreter lock held; they must not raise, set a Python error or throw into C callers,
// so exhausted memory answers "conflict" and leaves the state untouched.

// A shared borrow conflicts only with exclusive ones, an exclusive borrow with any other.
std::int32_t acquire(void* state_pointer, PyObject* array, bool as_exclusive) noexcept {
    try {
        RegistryState& state = *static_cast<RegistryState*>(state_pointer);
        const std::uintptr_t base = base_address(state, array);
        const BorrowKey key = borrow_key(state, array);
        if (Borrow* same = find(state, base, key)) {
            if (as_exclusive || same->counter < 0 ||
                same->counter == std::numeric_limits<std::int64_t>::max()) {
                return conflict;
            }
            ++same->counter;
            return granted;
        }
        for (const Borrow& other : state.borrows) {
            if (other.base == base && (as_exclusive || other.counter < 0) && conflicts(key, other.key)) {
                return conflict;
            }
        }
        state.borrows.push_back(Borrow{base, key, as_exclusive ? exclusive : 1});
        return granted;
    } catch (const std::bad_alloc&) {
        return conflict;
    }
}

std::int32_t registry_acquire(void* state_pointer, PyObject* array) noexcept {
    return acquire(state_pointer, array, false);
}

std::int32_t registry_acquire_mut(void* state_pointer, PyObject* array) noexcept {
    if ((numpy::fields(array)->flags & NPY_ARRAY_WRITEABLE) == 0) return not_writeable;
    return acquire(state_pointer, array, true);
}

// Releasing a borrow that is not held is the caller's error. It is ignored: acting on it
// would drop somebody else's borrow and let a real conflict through.
void release(void* state_pointer, PyObject* array, bool as_exclusive) noexcept {
    RegistryState& state = *static_cast<RegistryState*>(state_pointer);
    Borrow* entry = find(state, base_address(state, array), borrow_key(state, array));
    if (entry == nullptr || (as_exclusive ? entry->counter != exclusive : entry->counter <= 0)) return;
    if (as_exclusive || --entry->counter == 0) erase(state, entry);
}

void registry_release(void* state_pointer, PyObject* array) noexcept {
    release(state_pointer, array, false);
}

void registry_release_mut(void* state_pointer, PyObject* array) noexcept {
    release(state_pointer, array, true);
}

// Frees what the capsule owns once the last reference to it goes; every module that uses
// the registry keeps its reference for ever, so in practice that is never.
void destroy_registry_capsule(PyObject* capsule) noexcept {
    void* pointer = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    if (pointer == nullptr) {
        PyErr_Clear();
        return;
    }
    auto* record = static_cast<BorrowApi*>(pointer);
    delete static_cast<RegistryState*>(record->state);
    delete record;
}

ProcessCell<bool> numpy2_layout_cell;
ProcessCell<const BorrowApi*> record_cell;

// Descriptors widened their element size field in NumPy 2 (C feature version 0x12).
bool numpy2_layout() {
    auto layout = numpy2_layout_cell.get_or_try_init([]() -> std::expected<bool, PyError> {
        return numpy::feature_version() >= NPY_2_0_API_VERSION;
    });
    return **layout;
}

// Publishes a new, empty registry served by this module's functions. The capsule owns the
// state and the record from the moment it exists, so every failure after that frees both
// by dropping the capsule.
[[nodiscard]] Result<PyRef> publish_registry(PyObject* module) {
    auto state = std::make_unique<RegistryState>(
        RegistryState{numpy::array_type(), numpy2_layout(), {}});
    auto record = std::make_unique<BorrowApi>(BorrowApi{
        1, state.get(), registry_acquire, registry_acquire_mut, registry_release,
        registry_release_mut});
    PyRef capsule = PyRef::steal(PyCapsule_New(record.get(), capsule_name,
                                               destroy_registry_capsule));
    if (!capsule) return fetched_error();
    record.release();
    state.release();
    if (PyObject_SetAttrString(module, capsule_name, capsule.get()) < 0) {
        return fetched_error();
    }
    return capsule;
}

[[nodiscard]] Result<const BorrowApi*> load_record() {
    const std::string* module_name = ATOMKIT_TRY(numpy::multiarray_module_name());
    const PyRef module = ATOMKIT_TRY(numpy::import_module(module_name->c_str()));
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), capsule_name));
    if (!capsule) {
        drop_error();  // absent, or unreadable: either way no module published one
        capsule = ATOMKIT_TRY(publish_registry(module.get()));
    }
    void* pointer = ATOMKIT_TRY(numpy::capsule_pointer(capsule.get(), "the _NATIVE_NUMPY_BORROW_CHECKING_API capsule"));
    std::uint64_t version = 0;
    std::memcpy(&version, pointer, sizeof version);
    if (version == 0) {
        return std::unexpected(PyError::pending(
            PyExc_TypeError,
            "Version 0 of borrow checking API is not supported by this version of atomkit"));
    }
    // Kept for ever: the record must stay valid even if the attribute is removed later.
    capsule.release();
    return static_cast<const BorrowApi*>(pointer);
}

const BorrowApi& registry() {
    if (const BorrowApi* const* record = record_cell.get()) return **record;
    auto record = record_cell.get_or_try_init(load_record);
    if (!record) fail_with("Interal borrow checking API error", std::move(record.error()));
    return ***record;
}

}  // namespace

void prepare_borrows() { (void)registry(); }

bool acquire_shared(PyObject* array) {
    const BorrowApi& api = registry();
    const std::int32_t code = api.acquire(api.state, array);
    if (code == granted) return true;
    if (code == conflict) return false;
    fail("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

void release_shared(PyObject* array) noexcept {
    // Only a granted acquire_shared can precede this, and it filled the cell.
    if (const BorrowApi* const* record = record_cell.get()) {
        (*record)->release((*record)->state, array);
    }
}

}  // namespace atomkit
