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
CORVANE_ALWAYS_INLINE auto locked(PyObject* object, Scan scan) -> decltype(scan()) {
    decltype(scan()) result{};
    Py_BEGIN_CRITICAL_SECTION(object);
    result = scan();
    Py_END_CRITICAL_SECTION();
    return result;
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

// `value = dict[key]` as a strong reference taken inside the lookup: 1 found,
// 0 absent, -1 error. A stored key's __eq__ may run and change the dict; the
// caller holds it.
CORVANE_ALWAYS_INLINE int dict_get(PyObject* dict, PyObject* key, Ref* value) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
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

// Sets up the proofs of str_keys_proven while the module initialises;
// -1 on error.
int attach_key_proofs();

#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
#define CORVANE_KEY_PROOFS 1

// What is known of a dict's keys.
enum class Keys : unsigned char { unknown, proven, refuted };

// Dicts and what is known of their keys (compat.cpp keeps it): a table of
// addresses, open-addressed and probed linearly, with no tombstones (a
// removal shifts back the entries after it).
class KeyTable {
  public:
    CORVANE_ALWAYS_INLINE Keys find(PyObject* dict) const {
        if (slots_ == nullptr) {
            return Keys::unknown;
        }
        for (size_t i = home(dict);; i = (i + 1) & mask_) {
            if (slots_[i].dict == dict) {
                return slots_[i].keys;
            }
            if (slots_[i].dict == nullptr) {
                return Keys::unknown;
            }
        }
    }
    // -1 when there is no memory for it (nothing is changed then).
    int set(PyObject* dict, Keys keys);
    void forget(PyObject* dict);

  private:
    struct Slot {
        PyObject* dict;
        Keys keys;
    };
    size_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }
    // Fibonacci hashing of the address, to the table's size.
    CORVANE_ALWAYS_INLINE size_t home(PyObject* dict) const {
        const uint64_t address = reinterpret_cast<uintptr_t>(dict);
        return static_cast<size_t>((address * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    int grow();

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t used_ = 0;
    int shift_ = 64;
};

extern KeyTable g_keys;
// Reads the keys of a dict not in the table, and enters what it found.
bool prove_str_keys(PyObject* dict);
#endif

// Whether every key of `dict`, an exact dict, is an exact str: a proof that
// a lookup in it with an exact-str key runs no Python code (a key of
// another kind may run its own __eq__). Kept per dict where the interpreter
// tells when a dict changes (3.12 and newer, with the interpreter lock);
// false where it cannot.
CORVANE_ALWAYS_INLINE bool str_keys_proven([[maybe_unused]] PyObject* dict) {
#ifdef CORVANE_KEY_PROOFS
    const Keys known = g_keys.find(dict);
    return known == Keys::unknown ? prove_str_keys(dict) : known == Keys::proven;
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
