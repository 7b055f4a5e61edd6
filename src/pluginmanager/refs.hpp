// Owning references to Python objects, and the pending error as an object.
//
// A Ref owns exactly one reference and drops it when it goes out of scope, so
// every early `return nullptr` releases what the function held. Ownership is
// spelled at construction: Ref::steal() takes over a new reference (what most
// C API calls return), Ref::borrow() takes a new reference on a borrowed
// pointer. release() hands the reference back to the caller.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvane {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference; a null pointer makes an empty Ref, so the
    // result of a failed C API call can be tested with `if (!ref)`.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference on a borrowed pointer (which may be null).
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives the reference away: the caller owns it from now on.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // Drops the reference held (if any) and takes over `object`, a new reference.
    void reset(PyObject* object = nullptr) noexcept {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

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

// Makes the exception being handled (what `except` would bind) visible to
// everything raised while the guard lives, so that it becomes their
// __context__, as in a Python `except` block.
//
// The handled exception lives in the innermost slot of the thread's stack of
// handled exceptions (a generator has a slot of its own); asking for it finds
// the innermost one that is set, possibly a caller's. The guard writes to the
// innermost slot, so on leaving it puts back only what that slot held: a
// caller's exception must not be copied into a generator's own slot, which
// would keep it alive after the generator resumes elsewhere.
class HandlingException {
  public:
    explicit HandlingException(PyObject* exception) noexcept
        : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(nullptr);
        const Ref outer = Ref::steal(PyErr_GetHandledException());
        innermost_ = outer.get() != previous_.get();
        PyErr_SetHandledException(exception);
    }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;
    ~HandlingException() {
        // Keep a pending error across the restore.
        Ref pending = take_error();
        PyErr_SetHandledException(innermost_ ? previous_.get() : nullptr);
        restore_error(std::move(pending));
    }

  private:
    Ref previous_;
    bool innermost_ = false;
};

}  // namespace corvane
