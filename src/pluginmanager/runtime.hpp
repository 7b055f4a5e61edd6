// How PluginManager's members find each other, read the instance state and
// the module namespace, and look into plugin tree nodes.
//
// The members call each other through the instance (`self.validate_os(...)`),
// so that a subclass or an instance may override any of them. When nothing
// is overridden, the C++ of the member is called directly. That is decided
// once per call by an Instance, and again after any step that may have run
// Python code; nothing about an instance outlives the call, and no borrowed
// pointer is kept across anything that may run Python code.
#pragma once

#include <cstring>

#include "function.hpp"

namespace corvane {

// Strings used on every call, interned once while the module initialises.
#define CORVANE_NAMES(X)     \
    X(os)                    \
    X(platform)              \
    X(model)                 \
    X(chassis_type)          \
    X(data)                  \
    X(output)                \
    X(cls)                   \
    X(path)                  \
    X(keys)                  \
    X(debug)                 \
    X(islower)               \
    X(isdigit)               \
    X(endswith)              \
    X(split)                 \
    X(get)                   \
    X(group)                 \
    X(name)                  \
    X(module)                \
    X(modules)               \
    X(load)                  \
    X(setter)                \
    X(dirname)               \
    X(walk_packages)         \
    X(pkgutil)               \
    X(importlib)             \
    X(import_module)         \
    X(linux)                 \
    X(single_rp)             \
    X(tests)                 \
    X(log)                   \
    X(supported_os)          \
    X(supported_chassis)     \
    X(chassis_type_list)     \
    X(getfile)               \
    X(entry_points)          \
    X(ConnectionInfraError)  \
    X(ENTRYPOINT_GROUP)      \
    X(validate_model)        \
    X(validate_platform)     \
    X(validate_os)           \
    X(validate_chassis_type) \
    X(validate_arguments)    \
    X(print_tree)            \
    X(_plugins)              \
    X(__path__)              \
    X(__file__)              \
    X(__name__)              \
    X(__module__)            \
    X(__class__)             \
    X(hex)                   \
    X(id)                    \
    X(ImportError)           \
    X(TypeError)

struct Names {
#define CORVANE_DECLARE_NAME(name) PyObject* name;
    CORVANE_NAMES(CORVANE_DECLARE_NAME)
#undef CORVANE_DECLARE_NAME
    // Texts that are not identifiers.
    PyObject* empty;              // ""
    PyObject* newline;            // "\n"
    PyObject* heading_mark;       // "__ "
    PyObject* leaf_mark;          // " = "
    PyObject* slash;              // "/"
    PyObject* not_found_prefix;   // "Plugin data not found for ("
    PyObject* not_found_type;     // "), type: "
    PyObject* blank;              // " "
    PyObject* dot;                // "."
    PyObject* plugins_infix;      // ".plugins."
    PyObject* tests_infix;        // ".tests."
    PyObject* os_platform_model;  // ("os", "platform", "model")
    PyObject* platform_os;        // ("platform", "os")
    PyObject* os_only;            // ("os",)
    PyObject* chassis_type_only;  // ("chassis_type",)
    PyObject* data_output;        // ("data", "output")
    PyObject* group_only;         // ("group",)
};

extern Names names;

// Interns `names`; -1 on error. Idempotent.
int init_names();

// PluginManager's members, in class-body order.
enum class Member {
    init,
    plugins_getter,
    plugins_setter,
    validate_model,
    validate_platform,
    validate_os,
    validate_chassis_type,
    validate_arguments,
    get_plugin,
    unregister_plugin,
    register_plugin,
    discover_builtin_plugins,
    discover_external_plugins,
    print_tree,
    repr,
    count,
};

// The module binding hands over the module and the member functions it
// built; the runtime holds a reference to each. detach_module() drops them
// again after a failed initialisation.
int attach_module(PyObject* module);
void attach_member(Member member, PyObject* function);
void detach_module();

// A name of the module namespace, read now, with the builtins as fallback
// (NameError when neither has it).
Ref global(PyObject* name);

// Whether the pending exception matches what `except <name>:` would catch,
// the name read from the namespace now. -1 when the lookup itself fails.
int pending_error_matches(PyObject* name);

// Raises ConnectionInfraError(message), the class read from the namespace now.
// Always returns nullptr.
PyObject* raise_connection_error(PyObject* message);
PyObject* raise_connection_error(const char* message);

// log.debug(text), the logger read from the namespace now. -1 on error.
int log_debug(PyObject* text);

// The instance state the members read.
enum class State { plugins, supported_os, chassis_type_list };

// One call's view of its instance (`self`).
class Instance {
  public:
    explicit Instance(PyObject* self) noexcept : self_(self) {}
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    PyObject* self() const { return self_; }

    // 1 when PluginManager's own members serve this instance as they are:
    // its class overrides none of the members that are called through the
    // instance and defines none of the state attributes, attribute lookup is
    // the standard one, and its __dict__ holds the three state attributes
    // and otherwise only str keys that name no member. 0 when something may
    // be overridden (the members are then called through attribute lookup),
    // -1 on error.
    int own() { return examined_ ? own_ : examine(); }

    // Called after any step that may have run Python code: such code may
    // override a member or replace the state, so both are examined again
    // before they are next used. A view found overridden stays so for the
    // call: going through attribute lookup is right whatever has changed.
    void python_may_have_run() {
        if (own_ == 1) {
            examined_ = false;
        }
    }

    // self.<state>, as attribute lookup finds it now. Empty on error.
    Ref state(State which);

    // The state attribute held since the examination; only when own() is 1.
    // It stays alive as long as this view is not examined again.
    PyObject* held_state(State which) const { return state_[static_cast<int>(which)].get(); }

    // self.<member>(*args, **kwargs): positional `args`, then the values of
    // the keywords named by `kwnames` (a tuple, or nullptr).
    Ref call(Member member, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  private:
    int examine();

    PyObject* self_;
    bool examined_ = false;
    int own_ = 0;
    Ref state_[3];
};

// Truth and equality, as `if x:` and `x == y` test them, with the common
// exact-str cases answered without a call.
inline int truth(PyObject* object) {
    if (object == Py_None || object == Py_False) {
        return 0;
    }
    if (object == Py_True) {
        return 1;
    }
    if (PyUnicode_CheckExact(object)) {
        return PyUnicode_GET_LENGTH(object) != 0;
    }
    return PyObject_IsTrue(object);
}

// Equality of two exact strs, by their characters (a str is stored in the
// narrowest kind that holds it, so strs of different kinds differ).
inline bool str_equal(PyObject* left, PyObject* right) {
    if (left == right) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    const int kind = PyUnicode_KIND(left);
    return length == PyUnicode_GET_LENGTH(right) && kind == PyUnicode_KIND(right) &&
           std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                       static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

inline int equals(PyObject* left, PyObject* right) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        return str_equal(left, right);
    }
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? truth(result.get()) : -1;
}

// isinstance(value, type), as Python tests it: the exact type and its
// subclasses first, then an object whose __class__ claims the type (a proxy
// or a mock), which is asked only when that fails. 1, 0 or -1 on error.
inline int is_instance(PyObject* value, PyTypeObject* type) {
    if (Py_IS_TYPE(value, type) || PyType_IsSubtype(Py_TYPE(value), type)) {
        return 1;
    }
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type));
}

// None and exact str: testing them for truth, type or case runs no Python code.
inline bool inert(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value);
}

// `key in mapping.keys()` followed by `mapping[key]`: 1 and *value set when
// present, 0 when absent, -1 on error. One lookup for an exact dict.
int node_lookup_general(PyObject* mapping, PyObject* key, Ref* value);
inline int node_lookup(PyObject* mapping, PyObject* key, Ref* value) {
    if (PyDict_CheckExact(mapping)) {
        return dict_get(mapping, key, value);
    }
    return node_lookup_general(mapping, key, value);
}
// mapping[key]: one lookup for an exact dict (KeyError when absent), the
// mapping's own item access otherwise.
Ref item(PyObject* mapping, PyObject* key);

// `key in mapping.keys()`: 1, 0, or -1 on error.
int node_contains(PyObject* mapping, PyObject* key);

// `value in container`: a list of exact strs is searched directly; anything
// else through the host's membership test. *ran_python is set when the
// test may have run Python code.
//
// listed_among_strs() answers for an exact list and an exact str, without
// running Python code: comparing exact strs has no side effects, so over the
// leading exact strs of the list, identity (names are mostly interned) and
// then equality give the answer the list would give. -1 when an item of
// another kind comes first: the list must be asked.
inline int listed_among_strs(PyObject* list, PyObject* value) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
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
}
inline int contains(PyObject* container, PyObject* value, bool* ran_python) {
    if (PyList_CheckExact(container) && PyUnicode_CheckExact(value)) {
        const int listed = listed_among_strs(container, value);
        if (listed >= 0) {
            return listed;
        }
    }
    *ran_python = true;
    return PySequence_Contains(container, value);
}

// The class's own namespace (its __dict__), with a reference of its own.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// sys.modules, as the sys module holds it now (empty Ref, no error, when it
// does not).
Ref sys_modules();

// inspect.getfile as the module imported it, to recognise it later.
void attach_getfile(PyObject* getfile);
bool is_standard_getfile(PyObject* function);

// `from <module> import <name>`: ImportError "cannot import name ..." when
// the module lacks it.
Ref import_from(PyObject* module, PyObject* name);
// The module, imported with `fromlist` (a tuple of names) at `level`,
// relative to the module namespace.
Ref import_module_level(const char* name, PyObject* fromlist, int level);

}  // namespace corvane
