// One call of a member and its view of the instance (`self`).
//
// The members call each other through the instance (`self.validate_os(...)`)
// and read its state through attribute lookup (`self._plugins`), so that a
// subclass or an instance may override any of them. A call starts on its
// fast path: as long as no step has run Python code, what the call found
// about the instance stays true, and when nothing is overridden the members'
// C++ is called directly and the state read from the view.
//
// Every step says whether its inputs are inert (nothing about them can run
// Python code): an inert step takes its shortcut, any other step runs as
// written and takes the call off its fast path for good. From then on the
// call follows the written steps in their order, with every member called
// and every attribute read through the instance, and holds nothing across
// them. There is nothing to remember at a call site: a step that may run
// Python code can only be reached through Call::shortcut(false).
#pragma once

#include "function.hpp"
#include "inert.hpp"
#include "members.hpp"
#include "services.hpp"

namespace corvane {

// The module binding hands over the member functions it built; the call
// path recognises them. detach_members() drops them after a failed
// initialisation.
void attach_member(Member member, PyObject* function);
void detach_members();

// The instance state the members read.
enum class State { plugins, supported_os, chassis_type_list };

class Call {
  public:
    explicit Call(PyObject* self) noexcept : self_(self) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    PyObject* self() const noexcept { return self_; }

    // Whether a step takes its shortcut: it does exactly when its inputs
    // are inert. A step that is not leaves the fast path.
    CORVANE_ALWAYS_INLINE bool shortcut(bool inert) noexcept {
        if (!inert) {
            fast_ = false;
        }
        return inert;
    }
    // Whether no step of the call has run Python code yet.
    bool fast() const noexcept { return fast_; }

    // 1 when the call is on its fast path and PluginManager's own members
    // serve the instance as they are: its class overrides none of the
    // members called through the instance and defines none of the state
    // attributes, attribute lookup is the standard one, and its __dict__
    // holds the three state attributes and otherwise only exact-str keys
    // that name no member. 0 otherwise (members are then called and the
    // state read through the instance), -1 on error.
    CORVANE_ALWAYS_INLINE int own() {
        if (!fast_) {
            return 0;
        }
        return own_ >= 0 ? own_ : examine();
    }

    // The state found by the examination; only while own() is 1.
    PyObject* held(State which) const noexcept { return held_[static_cast<int>(which)].get(); }

    // self.<state>: the held state while own() is 1, else attribute lookup
    // (which leaves the fast path). Empty on error.
    Ref state(State which);

    // self.<member>(*args, **kwargs): positional `args`, then the values of
    // the keywords named by `kwnames` (a tuple, or nullptr), looked up and
    // called through the instance.
    Ref through(Member member, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  private:
    int examine();

    PyObject* self_;
    bool fast_ = true;
    signed char own_ = -1;  // not examined yet
    Ref held_[3];
};

// self.<member>(...): `direct()` (the member's C++, continuing this call)
// while own(), else through the instance.
template <typename Direct>
CORVANE_ALWAYS_INLINE Ref dispatch(Call& call, Member member, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames, Direct direct) {
    const int own = call.own();
    if (own < 0) {
        return Ref();
    }
    return own ? Ref::steal(direct()) : call.through(member, args, nargs, kwnames);
}

// The host's operations as steps of a call: each takes its shortcut on
// inert input and otherwise runs the host's own operation.

// `bool(value)`: 1, 0, or -1 on error.
CORVANE_ALWAYS_INLINE int truth(Call& call, PyObject* value) {
    if (call.shortcut(inert(value))) {
        return inert_truth(value);
    }
    return PyObject_IsTrue(value);
}

// `left == right`, tested for truth.
CORVANE_ALWAYS_INLINE int equals(Call& call, PyObject* left, PyObject* right) {
    if (call.shortcut(inert(left) && inert(right))) {
        return inert_equal(left, right);
    }
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// `isinstance(value, type)` for a built-in `type` (str, dict): its own type
// answers for an instance or subclass instance; anything else is asked
// (its __class__ may claim the type).
CORVANE_ALWAYS_INLINE int is_instance(Call& call, PyObject* value, PyTypeObject* type) {
    if (call.shortcut(Py_IS_TYPE(value, type) || PyType_IsSubtype(Py_TYPE(value), type))) {
        return 1;
    }
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type));
}

// `str(value)`
CORVANE_ALWAYS_INLINE Ref str_of(Call& call, PyObject* value) {
    if (call.shortcut(PyUnicode_CheckExact(value))) {
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_Str(value));
}

// `left + right`
CORVANE_ALWAYS_INLINE Ref add(Call& call, PyObject* left, PyObject* right) {
    if (call.shortcut(PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right))) {
        return Ref::steal(PyUnicode_Concat(left, right));
    }
    return Ref::steal(PyNumber_Add(left, right));
}

// `value in container`
CORVANE_ALWAYS_INLINE int contains(Call& call, PyObject* container, PyObject* value) {
    const int listed = PyList_CheckExact(container) && PyUnicode_CheckExact(value)
                           ? listed_among_strs(container, value)
                           : -1;
    if (call.shortcut(listed >= 0)) {
        return listed;
    }
    return PySequence_Contains(container, value);
}

}  // namespace corvane

namespace corvane {

// `raise ConnectionInfraError(<message>)` and `log.debug(<text>)` as steps of
// a call: reading the namespace may run Python code.
template <typename Build>
PyObject* raise_error(Call& call, Build build) {
    call.shortcut(false);
    return raise_connection_error(build);
}
inline PyObject* raise_error(Call& call, const char* message) {
    call.shortcut(false);
    return raise_connection_error(message);
}
template <typename Build>
int debug_line(Call& call, Build build) {
    call.shortcut(false);
    return log_debug(build);
}

// `text + str(value)` for a constant text.
CORVANE_ALWAYS_INLINE Ref text_and_str(Call& call, const char* text, PyObject* value) {
    Ref head = Ref::steal(PyUnicode_FromString(text));
    Ref tail = head ? str_of(call, value) : Ref();
    return tail ? add(call, head.get(), tail.get()) : Ref();
}

// `template % value`, with the host's operator: an exact str or a tuple of
// them is formatted directly.
CORVANE_ALWAYS_INLINE Ref percent(Call& call, const char* format, PyObject* value) {
    Ref text = Ref::steal(PyUnicode_FromString(format));
    if (!text) {
        return text;
    }
    const bool plain =
        PyUnicode_CheckExact(value) || (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 1 &&
                                        PyUnicode_CheckExact(PyTuple_GET_ITEM(value, 0)));
    if (call.shortcut(plain)) {
        return Ref::steal(PyUnicode_Format(text.get(), value));
    }
    return Ref::steal(PyNumber_Remainder(text.get(), value));
}

}  // namespace corvane
