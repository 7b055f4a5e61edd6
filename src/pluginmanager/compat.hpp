// What differs between the supported CPython versions and platforms, in one
// place: every PY_VERSION_HEX branch of the module lives here, but for the
// proofs of dict keys, which have a file of their own (proofs.hpp).
#pragma once

#include <atomic>
#include <cstdint>
#if defined(_MSC_VER)
#include <intrin.h>
#endif

#include "refs.hpp"
#include "texts.hpp"

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

// The module keeps its state for the process (one interpreter's objects),
// so it does not support other interpreters: from 3.12 on CPython is told
// so, and refuses every interpreter that asks (an isolated one) in its own
// words before the module is created. An interpreter that does not ask (a
// legacy subinterpreter), and any on 3.11, is refused by the module's create
// step, in its own.
#if PY_VERSION_HEX >= 0x030C0000
#define CORVANE_INTERPRETERS_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define CORVANE_INTERPRETERS_SLOT
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

// A class's version tag as it is now. Without the interpreter lock another
// thread may give the class a new tag at any time: the field is read whole,
// as CPython writes it.
CORVANE_ALWAYS_INLINE unsigned int read_version_tag(PyTypeObject* type) {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed);
#else
    return type->tp_version_tag;
#endif
}

// The class's version tag, given one now if it can have one; 0 when it has
// none. A tag changes with every change to the class or its bases and is
// never given to another class.
inline unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (read_version_tag(type) == 0) {
        PyUnstable_Type_AssignVersionTag(type);
    }
#endif
#if PY_VERSION_HEX < 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        return 0;
    }
#endif
    return read_version_tag(type);
}

// The object a weak reference refers to, with a reference of its own; empty
// when it is gone (no error) or on error.
inline Ref weakly_held(PyObject* reference) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* object = nullptr;
    return PyWeakref_GetRef(reference, &object) > 0 ? Ref::steal(object) : Ref();
#else
    PyObject* object = PyWeakref_GetObject(reference);
    return object != nullptr && object != Py_None ? Ref::borrow(object) : Ref();
#endif
}

// Holds the cyclic collector back while a step that must run no Python code
// allocates: on 3.11 an allocation may start a collection at once, and the
// finalisers and callbacks it runs would run in the middle of the step.
// From 3.12 on a collection waits for the interpreter's next check between
// bytecodes, as it does here once the step is done: it starts at a later
// allocation, as it may under another timing.
class CollectorPaused {
  public:
#if PY_VERSION_HEX < 0x030C0000
    CollectorPaused() noexcept : was_enabled_(PyGC_Disable()) {}
    ~CollectorPaused() { end(); }
    // Lets the collector go as it was, for Python code to run (at a render's
    // safe point), and holds it back again after.
    void end() noexcept {
        if (was_enabled_) {
            PyGC_Enable();
        }
        was_enabled_ = 0;
    }
    void restart() noexcept { was_enabled_ = PyGC_Disable(); }
#else
    // Not trivial, so that a guard that holds nothing back is not unused.
    CollectorPaused() noexcept {}
    ~CollectorPaused() {}
    void end() noexcept {}
    void restart() noexcept {}
#endif
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

#if PY_VERSION_HEX < 0x030C0000
  private:
    int was_enabled_;
#endif
};

// Whether instances of `type` have a __dict__ to examine.
inline bool has_instance_dict(PyTypeObject* type) {
    return type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT);
}

// The frames the written recursion may still enter from here before
// RecursionError, as the running version counts them: on 3.11 the calls
// into C in progress count as frames do; from 3.12 on only Python frames
// count against the limit.
int recursion_room();

// Whether a call into C from a Python frame (a comparison, a call of a
// builtin) counts against the recursion limit as a frame does: on 3.11 one
// count serves both; from 3.12 on C has a count of its own.
inline constexpr bool kCallsIntoCCount = PY_VERSION_HEX < 0x030C0000;

// The running thread's stack, as the platform gives it (stack.cpp); both 0
// when it cannot be read.
struct StackBounds {
    uintptr_t low = 0;  // the end the stack grows towards
    uintptr_t high = 0;
};
StackBounds read_stack_bounds() noexcept;

// The room a call into the module must find left on the running thread's
// stack: enough for the module's own frames and one round of the Python
// code they call, with room to spare for what that code calls (half the
// stack of a small thread at most). Read from the thread's own attributes,
// once per thread; both 0 when they cannot be read.
struct StackRoom {
    uintptr_t low;     // the end the stack grows towards
    uintptr_t margin;  // the room needed above it
};
const StackRoom& thread_stack_room() noexcept;

// Where the running thread's stack is now. The frame's own address, not a
// local's: AddressSanitizer may keep locals whose address is taken on a
// stack of its own, in the heap.
CORVANE_ALWAYS_INLINE uintptr_t stack_pointer() noexcept {
#if defined(_MSC_VER)
    return reinterpret_cast<uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
}

// Every entry into the module from Python code starts here: -1 with
// RecursionError when the running thread's stack is nearly used up, so that
// Python code that calls back into the module deeper than the stack holds
// gets an exception instead of a crash. A frame outside the thread's stack
// (another stack switched to) is not judged.
CORVANE_ALWAYS_INLINE int check_stack() noexcept {
    const StackRoom& room = thread_stack_room();
    if (stack_pointer() - room.low < room.margin) {
        PyErr_SetString(PyExc_RecursionError, texts::kStackExhausted);
        return -1;
    }
    return 0;
}

}  // namespace corvane
