// Owning references to Python objects.
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

// Reference counting is a few instructions: never worth a call.
#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define CORVANE_ALWAYS_INLINE __forceinline
#else
#define CORVANE_ALWAYS_INLINE inline
#endif
// The same for a lambda, written after its parameters.
#if defined(__GNUC__) || defined(__clang__)
#define CORVANE_INLINE_LAMBDA __attribute__((always_inline))
#else
#define CORVANE_INLINE_LAMBDA
#endif

namespace corvane {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    CORVANE_ALWAYS_INLINE Ref(Ref&& other) noexcept : object_(other.object_) {
        other.object_ = nullptr;
    }
    CORVANE_ALWAYS_INLINE Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            drop(old);
        }
        return *this;
    }
    CORVANE_ALWAYS_INLINE ~Ref() { drop(object_); }

    // Takes over a new reference; a null pointer makes an empty Ref, so the
    // result of a failed C API call can be tested with `if (!ref)`.
    CORVANE_ALWAYS_INLINE static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes a new reference on a borrowed pointer (which may be null).
    CORVANE_ALWAYS_INLINE static Ref borrow(PyObject* object) noexcept {
        if (object != nullptr) {
            Py_INCREF(object);
        }
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives the reference away: the caller owns it from now on.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // Drops the reference held (if any) and takes over `object`, a new reference.
    CORVANE_ALWAYS_INLINE void reset(PyObject* object = nullptr) noexcept {
        PyObject* old = std::exchange(object_, object);
        drop(old);
    }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    // Py_XDECREF is not always inlined, Py_DECREF is.
    CORVANE_ALWAYS_INLINE static void drop(PyObject* object) noexcept {
        if (object != nullptr) {
            Py_DECREF(object);
        }
    }
    PyObject* object_ = nullptr;
};

}  // namespace corvane
