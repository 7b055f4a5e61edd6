// What differs between the supported CPython versions, in one place: every
// PY_VERSION_HEX branch of the module lives here.
#pragma once

#include <cstdint>

#include "refs.hpp"

#if PY_VERSION_HEX < 0x030C0000
// The member-definition names that 3.12 made public under these spellings.
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace corvane {

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

// `value = dict[key]` as a strong reference: 1 found, 0 absent, -1 error.
// A stored key's __eq__ may run and change the dict; the caller holds it.
inline int dict_get(PyObject* dict, PyObject* key, Ref* value) noexcept {
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

// Guards the C stack of calls that recurse through Python code. From 3.12
// on, Py_EnterRecursiveCall counts C recursion as well; on 3.11 it counts
// only the Python recursion limit, which a program may raise far beyond what
// the C stack holds, so the stack used since the outermost guard on this
// thread is measured too.
class StackGuard {
  public:
    explicit StackGuard(const char* where) noexcept {
#if PY_VERSION_HEX < 0x030C0000
        const char here = 0;
        const uintptr_t address = reinterpret_cast<uintptr_t>(&here);
        if (depth_ == 0) {
            base_ = address;
        }
        const uintptr_t used = base_ > address ? base_ - address : address - base_;
        if (used > kStackBudget) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
#endif
        entered_ = Py_EnterRecursiveCall(where) == 0;
#if PY_VERSION_HEX < 0x030C0000
        depth_ += entered_ ? 1 : 0;
#endif
    }
    StackGuard(const StackGuard&) = delete;
    StackGuard& operator=(const StackGuard&) = delete;
    ~StackGuard() {
        if (entered_) {
            Py_LeaveRecursiveCall();
#if PY_VERSION_HEX < 0x030C0000
            --depth_;
#endif
        }
    }
    bool entered() const noexcept { return entered_; }

  private:
    bool entered_ = false;
#if PY_VERSION_HEX < 0x030C0000
    // Well below the stack of any thread CPython itself starts.
    static constexpr uintptr_t kStackBudget = 1u << 20;
    static inline thread_local int depth_ = 0;
    static inline thread_local uintptr_t base_ = 0;
#endif
};

}  // namespace corvane
