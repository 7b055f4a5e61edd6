// The table of lookups remembered (memo.hpp).
#include "memo.hpp"

#include <cstring>

namespace corvane {

#if defined(CORVANE_WATCHED_PROOFS)

namespace {

// A value's length when it is None.
constexpr unsigned char kNone = 0xff;
// The characters an entry keeps, all values together.
constexpr size_t kText = 112;
constexpr int kSlotBits = 6;

struct Remembered {
    PyObject* root = nullptr;  // none: an empty slot
    PyObject* cls = nullptr;
    uint64_t changes = 0;  // the count of watched changes it was found at
    unsigned char lengths[5] = {};
    char text[kText] = {};
};

Remembered g_remembered[size_t{1} << kSlotBits];

}  // namespace

Description::Description(PyObject* root, PyObject* const* values) noexcept
    : root_(root), values_(values) {
    if (!PyDict_CheckExact(root)) {
        return;
    }
    // The slot comes from the objects given: the same objects (interned
    // names, mostly) find it again; equal ones elsewhere find another slot,
    // and walk.
    uint64_t mixed = reinterpret_cast<uintptr_t>(root);
    size_t total = 0;
    for (int i = 0; i < kValues; ++i) {
        PyObject* value = values[i];
        if (value != Py_None) {
            if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_ASCII(value)) {
                return;
            }
            total += static_cast<size_t>(PyUnicode_GET_LENGTH(value));
        }
        mixed = (mixed ^ reinterpret_cast<uintptr_t>(value)) * 0x9E3779B97F4A7C15ull;
    }
    if (total > kText) {
        return;
    }
    slot_ = static_cast<size_t>(mixed >> (64 - kSlotBits));
    kept_ = true;
}

PyObject* remembered_lookup(const Description& description, bool stale_too) {
    if (!description.kept_) {
        return nullptr;
    }
    const Remembered& entry = g_remembered[description.slot_];
    if (entry.root != description.root_ || (entry.changes != g_watched_changes && !stale_too)) {
        return nullptr;
    }
    size_t offset = 0;
    for (int i = 0; i < Description::kValues; ++i) {
        PyObject* value = description.values_[i];
        if (value == Py_None) {
            if (entry.lengths[i] != kNone) {
                return nullptr;
            }
            continue;
        }
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(value));
        if (entry.lengths[i] != length ||
            std::memcmp(entry.text + offset, PyUnicode_1BYTE_DATA(value), length) != 0) {
            return nullptr;
        }
        offset += length;
    }
    return entry.cls;
}

void remember_lookup(const Description& description, PyObject* cls) {
    if (!description.kept_) {
        return;
    }
    Remembered& entry = g_remembered[description.slot_];
    size_t offset = 0;
    for (int i = 0; i < Description::kValues; ++i) {
        PyObject* value = description.values_[i];
        if (value == Py_None) {
            entry.lengths[i] = kNone;
            continue;
        }
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(value));
        entry.lengths[i] = static_cast<unsigned char>(length);
        std::memcpy(entry.text + offset, PyUnicode_1BYTE_DATA(value), length);
        offset += length;
    }
    entry.root = description.root_;
    entry.cls = cls;
    entry.changes = g_watched_changes;
}

void forget_lookups() {
    for (Remembered& entry : g_remembered) {
        entry = Remembered();
    }
}

bool lookups_kept() noexcept {
    for (const Remembered& entry : g_remembered) {
        if (entry.root != nullptr) {
            return true;
        }
    }
    return false;
}

#else

Description::Description(PyObject* root, PyObject* const* values) noexcept
    : root_(root), values_(values) {}

PyObject* remembered_lookup(const Description&, bool) {
    return nullptr;
}

void remember_lookup(const Description&, PyObject*) {}

void forget_lookups() {}

bool lookups_kept() noexcept {
    return false;
}

#endif

}  // namespace corvane
