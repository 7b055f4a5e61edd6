// What differs between the supported CPython versions and platforms, in one
// place: every PY_VERSION_HEX branch of the module lives here.
#pragma once

#include <cstdint>

#include "refs.hpp"

#if PY_VERSION_HEX < 0x030C0000
// The member-definition names that 3.12 made public under these spellings.
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#if PY_VERSION_HEX < 0x030D0000
// Critical sections came with 3.13; before, the interpreter lock is all the
// locking there is.
#define Py_BEGIN_CRITICAL_SECTION(op) \
    {                                 \
        (void)(op);
#define Py_END_CRITICAL_SECTION() }
#endif

namespace corvane {

// Runs `scan` (which must not run Python code) holding `object`'s critical
// section: without the interpreter lock, no other thread changes the
// container while it is read entry by entry. With the lock this is nothing.
template <typename Scan>
CORVANE_ALWAYS_INLINE auto locked([[maybe_unused]] PyObject* object, Scan scan)
    -> decltype(scan()) {
    decltype(scan()) result{};
    Py_BEGIN_CRITICAL_SECTION(object);
    result = scan();
    Py_END_CRITICAL_SECTION();
    return result;
}

// Whether every key of `dict`, an exact dict, is an exact str: read entry by
// entry, which runs no Python code.
inline bool keys_are_exact_strs(PyObject* dict) {
    return locked(dict, [&] {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return false;
            }
        }
        return true;
    });
}

// Takes the pending exception (an instance, with its traceback) out of the
// error indicator; empty when none is pending.
inline Ref take_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

// Makes `error` (from take_error) the pending exception again; an empty Ref
// leaves the indicator clear.
inline void restore_error(Ref error) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    if (error) {
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
        PyObject* traceback = PyException_GetTraceback(error.get());
        PyErr_Restore(Py_NewRef(type), error.release(), traceback);
    } else {
        PyErr_Clear();
    }
#endif
}

// `value = dict[key]` as a strong reference: 1 found, 0 absent, -1 error. A
// stored key's __eq__ may run and change the dict; the caller holds it.
// Without the interpreter lock another thread may change the dict at any
// time, and the reference is taken inside the lookup; with it, nothing runs
// between the lookup and taking it.
CORVANE_ALWAYS_INLINE int dict_get(PyObject* dict, PyObject* key, Ref* value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && defined(Py_GIL_DISABLED)
    PyObject* found = nullptr;
    const int result = PyDict_GetItemRef(dict, key, &found);
    *value = Ref::steal(found);
    return result;
#else
    PyObject* found = PyDict_GetItemWithError(dict, key);
    *value = Ref::borrow(found);
    if (found != nullptr) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// The class's own namespace (its __dict__), with a reference of its own.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// The class's MRO, with a reference of its own; empty (no error) when it
// cannot be read without running Python code. Without the interpreter lock
// another thread may replace a class's MRO at any time: the reference is
// taken by the descriptor of `type` itself, for a class whose metaclass is
// exactly type.
inline Ref type_mro(PyTypeObject* type) {
#ifdef Py_GIL_DISABLED
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) {
        return Ref();
    }
    Ref mro = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    if (!mro) {
        PyErr_Clear();
    }
    return mro;
#else
    return Ref::borrow(type->tp_mro);
#endif
}

// The class's version tag, given one now if it can have one; 0 when it has
// none. A tag changes with every change to the class or its bases and is
// never given to another class.
inline unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_version_tag == 0) {
        PyUnstable_Type_AssignVersionTag(type);
    }
#endif
#if PY_VERSION_HEX < 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        return 0;
    }
#endif
    return type->tp_version_tag;
}

// Sets up what the module knows of dicts (below) while it initialises;
// -1 on error.
int attach_dict_facts();

#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
// From 3.12 on, a dict watcher tells when a dict changes, and what is known
// of a dict's keys is kept until it changes in a way that may change it
// (compat.cpp). Only plain dicts are watched: an instance's __dict__ may
// share its values with the instance, which changes them without a word. Without the interpreter
// lock the tables would need a lock of their own, so a free-threaded build keeps nothing; nor
// does 3.11, which has no dict watchers.
#define CORVANE_DICT_FACTS 1

// What is known of a dict's keys.
enum class Keys : unsigned char { unknown, proven, refuted };

// Dicts and a fact of each: a table of addresses, open-addressed and probed
// linearly, with no tombstones (a removal shifts back the entries after it).
template <typename Fact>
class DictTable {
  public:
    CORVANE_ALWAYS_INLINE const Fact* find(PyObject* dict) const {
        if (slots_ == nullptr) {
            return nullptr;
        }
        for (size_t i = home(dict);; i = (i + 1) & mask_) {
            if (slots_[i].dict == dict) {
                return &slots_[i].fact;
            }
            if (slots_[i].dict == nullptr) {
                return nullptr;
            }
        }
    }

    // -1 when there is no memory for it (nothing is changed then).
    int set(PyObject* dict, const Fact& fact) {
        if (2 * (used_ + 1) > capacity() && grow() < 0) {
            return -1;
        }
        size_t i = home(dict);
        while (slots_[i].dict != nullptr && slots_[i].dict != dict) {
            i = (i + 1) & mask_;
        }
        used_ += slots_[i].dict == nullptr ? 1 : 0;
        slots_[i] = {dict, fact};
        return 0;
    }

    void forget(PyObject* dict) {
        if (slots_ == nullptr) {
            return;
        }
        size_t i = home(dict);
        while (slots_[i].dict != dict) {
            if (slots_[i].dict == nullptr) {
                return;
            }
            i = (i + 1) & mask_;
        }
        // Shift back every entry after it that would not be found past the
        // hole.
        for (size_t j = (i + 1) & mask_; slots_[j].dict != nullptr; j = (j + 1) & mask_) {
            const size_t wanted = home(slots_[j].dict);
            if (i <= j ? (wanted <= i || wanted > j) : (wanted <= i && wanted > j)) {
                slots_[i] = slots_[j];
                i = j;
            }
        }
        slots_[i].dict = nullptr;
        --used_;
    }

  private:
    struct Slot {
        PyObject* dict;
        Fact fact;
    };
    size_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }
    // Fibonacci hashing of the address, to the table's size.
    CORVANE_ALWAYS_INLINE size_t home(PyObject* dict) const {
        const uint64_t address = reinterpret_cast<uintptr_t>(dict);
        return static_cast<size_t>((address * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    int grow() {
        const size_t capacity = slots_ == nullptr ? 64 : 2 * (mask_ + 1);
        Slot* slots = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
        if (slots == nullptr) {
            return -1;
        }
        Slot* old = slots_;
        const size_t old_capacity = this->capacity();
        slots_ = slots;
        mask_ = capacity - 1;
        shift_ = 64;
        for (size_t size = capacity; size > 1; size >>= 1) {
            --shift_;
        }
        used_ = 0;
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i].dict != nullptr) {
                set(old[i].dict, old[i].fact);
            }
        }
        PyMem_Free(old);
        return 0;
    }

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t used_ = 0;
    int shift_ = 64;
};

extern DictTable<Keys> g_keys;
// Reads the keys of a dict the table does not know, and enters what it
// found.
bool prove_str_keys(PyObject* dict);
#endif

// Whether every key of `dict`, an exact dict, is an exact str: a proof that
// a lookup in it with an exact-str key runs no Python code (a key of
// another kind may run its own __eq__). False where it cannot be known.
CORVANE_ALWAYS_INLINE bool str_keys_proven([[maybe_unused]] PyObject* dict) {
#ifdef CORVANE_DICT_FACTS
    const Keys* known = g_keys.find(dict);
    return known == nullptr ? prove_str_keys(dict) : *known == Keys::proven;
#else
    return false;
#endif
}

// Whether instances of `type` have a __dict__ to examine.
inline bool has_instance_dict(PyTypeObject* type) {
    return type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT);
}

// The depth the written recursion starts from: the Python frames on this
// thread's stack, the caller's included. On 3.11 a call into C counts
// towards the same limit, and the deepest frame makes one: it counts too.
int python_depth();

// Guards a call into Python code that may call back into the module and so
// nest C frames: RecursionError instead of a crash when the running thread's
// stack is nearly used up. The stack's bounds are read from the thread's own
// attributes, once per thread; CPython's own recursion check runs too.
class StackGuard {
  public:
    explicit StackGuard(const char* where) noexcept;
    StackGuard(const StackGuard&) = delete;
    StackGuard& operator=(const StackGuard&) = delete;
    ~StackGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    bool entered() const noexcept { return entered_; }

  private:
    bool entered_ = false;
};

}  // namespace corvane
