// One call of a member, and the steps it is made of.
//
// The members call each other through the instance (`self.validate_os(...)`)
// and read its state through attribute lookup (`self._plugins`), so that a
// subclass or an instance may override any of them. Every member is written
// as the steps of its written rule, in their order, and every step is one of
// the functions below, named by its row in steps.hpp.
//
// A call starts on its fast path. A step that is given the proof that no
// Python code can take part in it takes its shortcut; any other step runs
// the host's own operation, and the call leaves its fast path for good,
// since that operation may run Python code which may change anything the
// call has found so far. A test build (CORVANE_SENTINEL, sentinel.hpp)
// checks the rule: Python code that starts while a call is on its fast path
// is reported with the step that was under way.
//
// What decides between a shortcut and the written steps, all of it:
// - Call::mode_: whether the call is on its fast path, and whether its
//   instance was examined plain (below). Per call; a render that goes on
//   after a safe point starts a new fast path, examined afresh.
// - Call::held_: the state read from the instance's __dict__ when it was
//   examined plain. Per call, let go when the call leaves its fast path.
// - The member functions the module built (call.cpp): a class is plain when
//   the members it resolves are these. For the life of the module.
// - The tags of the classes found plain (call.cpp): a class's version tag
//   changes with every change to the class or its bases. Process-wide.
// - The instance __dict__ examined last (call.cpp), kept with its version
//   where versions are public (3.11, proofs.hpp). Process-wide.
// - The proofs that a tree node's keys are exact strs (proofs.hpp), kept
//   while the interpreter can tell the node is unchanged. Process-wide.
// - The validators' choice (validation.cpp) and the renderer's choice
//   (rendering.cpp): made up front by reading exact types, kept nowhere.
// - The lookups remembered (memo.hpp), from 3.12 on: each kept with the
//   count of changes to watched dicts it was found at. Process-wide.
// - A value seen in a node on the fast path, which a second read of it
//   (node_item_again) takes while nothing has run: a local of the member.
//
// The steps that look into tree nodes take their shortcut only in a dict
// whose keys are proven exact strs (a key of another kind may run its own
// __eq__ in any lookup). Elsewhere they are the written steps, each with its
// C-level equivalent: `key in node.keys()` and `node[key]` are two lookups.
#pragma once

#include <cstring>

#include "compat.hpp"
#include "function.hpp"
#include "members.hpp"
#include "names.hpp"
#include "proofs.hpp"
#include "sentinel.hpp"
#include "services.hpp"
#include "steps.hpp"

namespace corvane {

// ---- Proofs: inert values, and Python semantics on them ----

CORVANE_ALWAYS_INLINE bool inert(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value);
}

// `bool(value)` of an inert value.
CORVANE_ALWAYS_INLINE bool inert_truth(PyObject* value) {
    return value != Py_None && PyUnicode_GET_LENGTH(value) != 0;
}

// Equality of two exact strs: same characters, so same length and kind (a
// str is stored in the narrowest kind that holds it) and the same bytes.
CORVANE_ALWAYS_INLINE bool str_equal(PyObject* left, PyObject* right) {
    if (left == right) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    const int kind = PyUnicode_KIND(left);
    return length == PyUnicode_GET_LENGTH(right) && kind == PyUnicode_KIND(right) &&
           std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                       static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

// `left == right` for two inert values.
CORVANE_ALWAYS_INLINE bool inert_equal(PyObject* left, PyObject* right) {
    if (left == Py_None || right == Py_None) {
        return left == right;
    }
    return str_equal(left, right);
}

// `value in list` for an exact list and an exact str, when every item the
// test compares is an exact str: 1 or 0. -1 when an item of another kind
// would be compared: then only the list itself can answer.
CORVANE_ALWAYS_INLINE int listed_among_strs(PyObject* list, PyObject* value) {
    return locked(list, [&]() CORVANE_INLINE_LAMBDA {
        const Py_ssize_t size = PyList_GET_SIZE(list);
        // Names are mostly the same interned objects: identity first, over
        // the leading exact strs (an equal item before an identical one
        // gives the same answer).
        Py_ssize_t plain = 0;
        for (; plain < size; ++plain) {
            PyObject* item = PyList_GET_ITEM(list, plain);
            if (item == value) {
                return 1;
            }
            if (!PyUnicode_CheckExact(item)) {
                break;
            }
        }
        for (Py_ssize_t i = 0; i < plain; ++i) {
            if (str_equal(PyList_GET_ITEM(list, i), value)) {
                return 1;
            }
        }
        return plain == size ? 0 : -1;
    });
}

// ---- The call ----

// The module binding hands over the member functions it built; the call
// recognises them. detach_members() drops them after a failed
// initialisation.
void attach_member(Member member, PyObject* function);
void detach_members();
// Whether anything of the members' is kept (nothing after detach_members).
bool members_kept() noexcept;
// The function the module built for `member` (borrowed).
PyObject* own_function(Member member);

// The instance state the members read.
enum class State { plugins, supported_os, chassis_type_list };

class Call {
  public:
    Call(PyObject* self, bool bound_at_once) noexcept : self_(self), bound_at_once_(bound_at_once) {
        sentinel::enter_fast();
    }
    ~Call() {
        if (mode_ != Mode::written) {
            sentinel::leave_fast();
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    PyObject* self() const noexcept { return self_; }
    // Whether the arguments bound at once, not through the binder.
    bool bound_at_once() const noexcept { return bound_at_once_; }
    // Whether no step of the call has run the host's own operation yet.
    bool fast() const noexcept { return mode_ != Mode::written; }

    // A step that takes its shortcut exactly when it is inert; otherwise the
    // call leaves its fast path.
    template <Step id>
    CORVANE_ALWAYS_INLINE bool step(bool is_inert) noexcept {
        static_assert(step_kind(id) == StepKind::shortcut, "a written step has no shortcut");
        sentinel::step(id);
        if (!is_inert && mode_ != Mode::written && !sentinel::planted(id)) {
            leave();
        }
        return is_inert;
    }

    // A step that always runs the host's own operation: the call leaves its
    // fast path first.
    template <Step id>
    CORVANE_ALWAYS_INLINE void written() noexcept {
        static_assert(step_kind(id) == StepKind::written, "a shortcut step needs its proof");
        sentinel::step(id);
        if (mode_ != Mode::written && !sentinel::planted(id)) {
            leave();
        }
    }

    // Starts a new fast path after the call left its own: nothing found
    // before is carried over, and the instance is examined afresh when it is
    // next asked for. For a call that goes on after a step whose Python code
    // may have changed anything (a render's safe point).
    void reenter() noexcept {
        if (mode_ == Mode::written) {
            mode_ = Mode::unexamined;
            sentinel::enter_fast();
        }
    }

    // 1 when the call is on its fast path and PluginManager's own members
    // serve the instance as they are: its class overrides none of the
    // members called through the instance and defines none of the state
    // attributes, attribute lookup is the standard one, and its __dict__
    // holds the three state attributes and otherwise only exact-str keys
    // that name no member. 0 otherwise (members are then called and the
    // state read through the instance), -1 on error.
    CORVANE_ALWAYS_INLINE int own() {
        switch (mode_) {
            case Mode::own:
                return 1;
            case Mode::unexamined:
                return examine();
            default:
                return 0;
        }
    }

    // The state found by the examination; only while own() is 1.
    PyObject* held(State which) const noexcept { return held_[static_cast<int>(which)].get(); }

    // self.<state>: the held state while own() is 1, else attribute lookup.
    Ref state(State which);

    // self.<member>(*args, **kwargs): the values of `args`, the last of them
    // those of the keywords named by `kwnames` (a tuple, or nullptr), looked
    // up and called through the instance. Only a member marked through_self
    // in members.hpp is called so, with an argument for each of its
    // parameters after `self`.
    template <Member member, size_t count>
    Ref through(PyObject* const (&args)[count], PyObject* kwnames) {
        static_assert(called_through_self(member), "mark the member through_self in members.hpp");
        static_assert(count + 1 == kMemberParams[static_cast<int>(member)],
                      "one argument for each parameter after self");
        const Py_ssize_t nargs =
            static_cast<Py_ssize_t>(count) - (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
        // Room for `self` in front, and the slot before it that
        // PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow.
        PyObject* stack[count + 2];
        stack[0] = nullptr;
        stack[1] = self_;
        for (size_t i = 0; i < count; ++i) {
            stack[2 + i] = args[i];
        }
        return Ref::steal(PyObject_VectorcallMethod(
            member_name(member), stack + 1,
            static_cast<size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }

  private:
    // Where the call stands: on its fast path, its instance not examined
    // yet, examined plain (own) or not (the state and members are then
    // reached through the instance); or off its fast path for good.
    enum class Mode : unsigned char { unexamined, own, instance, written };

    int examine();
    // Off the fast path the state is read through the instance: what the
    // examination held is let go now, before any Python code runs, so that
    // a value the instance drops later goes when the written code's would.
    void leave() noexcept {
        mode_ = Mode::written;
        sentinel::leave_fast();
        for (Ref& held : held_) {
            held.reset();
        }
    }

    PyObject* self_;
    bool bound_at_once_;
    Mode mode_ = Mode::unexamined;
    Ref held_[3];
};

// self.<member>(...): `direct()` (the member's C++, continuing this call)
// while own(), else through the instance.
template <Member member, size_t count, typename Direct>
CORVANE_ALWAYS_INLINE Ref dispatch(Call& call, PyObject* const (&args)[count], PyObject* kwnames,
                                   Direct direct) {
    const int own = call.own();
    if (own < 0) {
        return Ref();
    }
    return call.step<Step::member>(own) ? Ref::steal(direct())
                                        : call.through<member>(args, kwnames);
}

// self.<member>, looked up through the instance: a member marked
// through_self in members.hpp.
template <Member member>
Ref instance_member(PyObject* self) {
    static_assert(called_through_self(member), "mark the member through_self in members.hpp");
    return Ref::steal(PyObject_GetAttr(self, member_name(member)));
}

// Whether `method`, looked up on `self`, is the module's own `member` bound
// to it: the module's C++ of it serves.
template <Member member>
bool own_method(PyObject* method, PyObject* self) {
    static_assert(called_through_self(member), "mark the member through_self in members.hpp");
    return PyMethod_Check(method) && PyMethod_Function(method) == own_function(member) &&
           PyMethod_Self(method) == self;
}

// ---- The host's operations as steps ----

// `bool(value)`: 1, 0, or -1 on error.
CORVANE_ALWAYS_INLINE int truth(Call& call, PyObject* value) {
    if (call.step<Step::truth>(inert(value))) {
        return inert_truth(value);
    }
    return PyObject_IsTrue(value);
}

// `left == right`, tested for truth.
CORVANE_ALWAYS_INLINE int equals(Call& call, PyObject* left, PyObject* right) {
    if (call.step<Step::equals>(inert(left) && inert(right))) {
        return inert_equal(left, right);
    }
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// `isinstance(value, type)` for a built-in `type` (str, dict): an instance
// of it or of a subclass is one without asking anything; anything else is
// asked (its __class__ may claim the type).
CORVANE_ALWAYS_INLINE int is_instance(Call& call, PyObject* value, PyTypeObject* type) {
    if (call.step<Step::isinstance>(PyObject_TypeCheck(value, type))) {
        return 1;
    }
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type));
}

// `str(value)`
CORVANE_ALWAYS_INLINE Ref str_of(Call& call, PyObject* value) {
    if (call.step<Step::str>(PyUnicode_CheckExact(value))) {
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_Str(value));
}

// `left + right`
CORVANE_ALWAYS_INLINE Ref add(Call& call, PyObject* left, PyObject* right) {
    if (call.step<Step::add>(PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right))) {
        return Ref::steal(PyUnicode_Concat(left, right));
    }
    return Ref::steal(PyNumber_Add(left, right));
}

// `value in container`
CORVANE_ALWAYS_INLINE int contains(Call& call, PyObject* container, PyObject* value) {
    const int listed = PyList_CheckExact(container) && PyUnicode_CheckExact(value)
                           ? listed_among_strs(container, value)
                           : -1;
    if (call.step<Step::contains>(listed >= 0)) {
        return listed;
    }
    return PySequence_Contains(container, value);
}

// `template % value`, with the host's operator.
CORVANE_ALWAYS_INLINE Ref percent(Call& call, PyObject* format, PyObject* value) {
    if (call.step<Step::percent>(PyUnicode_CheckExact(value))) {
        return Ref::steal(PyUnicode_Format(format, value));
    }
    return Ref::steal(PyNumber_Remainder(format, value));
}

// `template % value` with `value` the one argument of the template: a tuple
// is its argument, not the argument list (a tuple would otherwise be spread
// over the placeholders); anything else goes to the host's `%` as it is.
inline Ref percent_one(Call& call, PyObject* format, PyObject* value) {
    if (!PyTuple_Check(value)) {
        return percent(call, format, value);
    }
    Ref args = Ref::steal(PyTuple_Pack(1, value));
    return args ? percent(call, format, args.get()) : Ref();
}

// `text + str(value)` for a constant text.
inline Ref text_and_str(Call& call, PyObject* text, PyObject* value) {
    Ref tail = str_of(call, value);
    return tail ? add(call, text, tail.get()) : Ref();
}

// `raise ConnectionInfraError(<message>)` and `log.debug(<text>)`: reading
// the namespace may run Python code.
template <typename Build>
PyObject* raise_error(Call& call, Build build) {
    call.written<Step::raise>();
    return raise_connection_error(build);
}
inline PyObject* raise_error(Call& call, PyObject* message) {
    call.written<Step::raise>();
    return raise_connection_error(message);
}
template <typename Build>
int debug_line(Call& call, Build build) {
    call.written<Step::log>();
    return log_debug(build);
}

// ---- Looking into tree nodes, as the written rules do ----

// Whether a lookup of `key` in `node` runs no Python code: an exact dict
// whose keys are proven exact strs (compat.hpp), and an exact-str key.
CORVANE_ALWAYS_INLINE bool plain_node(PyObject* node, PyObject* key) {
    return PyDict_CheckExact(node) && PyUnicode_CheckExact(key) && str_keys_proven(node);
}

// `node[key]` of an exact dict, as its own subscript gives it: KeyError
// (with the key as its one argument) when absent.
CORVANE_ALWAYS_INLINE Ref dict_item(PyObject* node, PyObject* key) {
    Ref value;
    const int found = dict_get(node, key, &value);
    if (found == 0) {
        CollectorPaused paused;
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args.get());
        }
    }
    return value;
}

// `{}`: a new node of the tree, noted as made here (proofs.hpp).
inline Ref new_node() {
    Ref node = Ref::steal(PyDict_New());
    if (node) {
        note_made(node.get());
    }
    return node;
}

// `node[key] = value` and `del node[key]`: 0, or -1 on error. Either may
// drop the last reference to what the node held, and so run its finaliser.
inline int node_store(Call& call, PyObject* node, PyObject* key, PyObject* value) {
    call.written<Step::node_store>();
    return PyObject_SetItem(node, key, value);
}
inline int node_delete(Call& call, PyObject* node, PyObject* key) {
    call.written<Step::node_delete>();
    return PyObject_DelItem(node, key);
}

// `key in node.keys()`: 1, 0, or -1 on error. An exact dict's keys() is a
// view whose test is the dict's own. A proven node is asked for the value
// as well, and gives it in *seen when present, for a read of it to come
// (node_item_again).
CORVANE_ALWAYS_INLINE int node_contains(Call& call, PyObject* node, PyObject* key,
                                        Ref* seen = nullptr) {
    if (call.step<Step::node_contains>(plain_node(node, key))) {
        Ref value;
        const int found = dict_get(node, key, &value);
        if (seen != nullptr) {
            *seen = std::move(value);
        }
        return found;
    }
    if (PyDict_CheckExact(node)) {
        return PyDict_Contains(node, key);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(node, names.keys));
    return keys ? PySequence_Contains(keys.get(), key) : -1;
}

// `node[key]`; empty on error (KeyError when absent).
CORVANE_ALWAYS_INLINE Ref node_item(Call& call, PyObject* node, PyObject* key) {
    if (call.step<Step::node_item>(plain_node(node, key)) || PyDict_CheckExact(node)) {
        return dict_item(node, key);
    }
    return Ref::steal(PyObject_GetItem(node, key));
}

// `node[key]`, read after `previous` was seen there (empty: not seen): on
// the fast path nothing has run since, so it is still the value.
CORVANE_ALWAYS_INLINE Ref node_item_again(Call& call, PyObject* node, PyObject* key,
                                          PyObject* previous) {
    if (call.step<Step::node_item_again>(call.fast() && previous != nullptr)) {
        return Ref::borrow(previous);
    }
    return node_item(call, node, key);
}

// `if key in node.keys(): value = node[key]`: 1 and *value set when
// present, 0 when absent, -1 on error. A proven node answers both at once.
CORVANE_ALWAYS_INLINE int node_get(Call& call, PyObject* node, PyObject* key, Ref* value) {
    if (call.step<Step::node_get>(plain_node(node, key))) {
        return dict_get(node, key, value);
    }
    const int present = node_contains(call, node, key);
    if (present <= 0) {
        return present;
    }
    *value = node_item(call, node, key);
    return *value ? 1 : -1;
}

// `if key not in node.keys(): node[key] = {}`, then `node[key]`. In a proven
// node a new child takes a place no value held, so storing it drops nothing.
inline Ref node_child(Call& call, PyObject* node, PyObject* key) {
    if (call.step<Step::node_child>(plain_node(node, key))) {
        Ref child;
        const int found = dict_get(node, key, &child);
        if (found != 0) {
            return child;
        }
        CollectorPaused paused;
        child = new_node();
        return child && insert_proven(node, key, child.get()) == 0 ? std::move(child) : Ref();
    }
    const int present = node_contains(call, node, key);
    if (present < 0) {
        return Ref();
    }
    if (!present) {
        Ref child = new_node();
        if (!child || node_store(call, node, key, child.get()) < 0) {
            return Ref();
        }
    }
    return node_item(call, node, key);
}

}  // namespace corvane
