// What the subsystems share: the module namespace, interned names, the
// members of PluginManager and how they call each other through the instance.
#pragma once

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

// The result of looking a member up on an instance, as `self.<name>` would.
class Resolved {
  public:
    // True when the lookup found PluginManager's own function, not an
    // override: the caller may then run the C++ code directly.
    bool is_own() const { return own_; }
    explicit operator bool() const { return static_cast<bool>(method_); }
    // Calls the resolved attribute with the positional `args` followed by
    // keyword values named by `kwnames` (a tuple, or nullptr).
    Ref call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const;

  private:
    friend Resolved resolve(PyObject* self, Member member);
    Ref method_;
    bool unbound_ = false;
    bool own_ = false;
};

// Looks up `self.<member>`; an empty Resolved means the lookup raised.
Resolved resolve(PyObject* self, Member member);

// 1 when no member of PluginManager is overridden for `self`, neither on
// its class nor in its __dict__, so the C++ members may call each other
// directly; 0 when one is (or it cannot be told cheaply); -1 on error.
int members_are_own(PyObject* self);

// self.<name> for the instance state (_plugins, supported_os,
// chassis_type_list): read from the __dict__ directly when the class is
// known not to define the name, else through attribute lookup.
Ref state_attribute(PyObject* self, PyObject* name);

// Truth and equality, as `if x:` and `x == y` test them, with the common
// exact-str cases answered without a call.
int truth(PyObject* object);
int equals(PyObject* left, PyObject* right);

// `key in mapping.keys()` followed by `mapping[key]`: 1 and *value set when
// present, 0 when absent, -1 on error. One lookup for an exact dict.
int node_lookup(PyObject* mapping, PyObject* key, Ref* value);
// `key in mapping.keys()`: 1, 0, or -1 on error.
int node_contains(PyObject* mapping, PyObject* key);

// inspect.getfile as the module imported it, to recognise it later.
extern PyObject* standard_getfile;

// The member entries, one group per subsystem.
PyObject* validate_model(PyObject* self, PyObject* os, PyObject* platform, PyObject* model);
PyObject* validate_platform(PyObject* self, PyObject* os, PyObject* platform);
PyObject* validate_os(PyObject* self, PyObject* os);
PyObject* validate_chassis_type(PyObject* self, PyObject* chassis_type);
PyObject* validate_arguments(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type);
// validate_arguments, told whether the caller has just found that no member
// is overridden (so that need not be looked up again).
PyObject* validate_description(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                               PyObject* chassis_type, bool members_own);

PyObject* manager_init(PyObject* self);
PyObject* plugins_getter(PyObject* self);
PyObject* plugins_setter(PyObject* self, PyObject* value);
PyObject* get_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type);
PyObject* unregister_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type);
PyObject* register_plugin(PyObject* self, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type);

PyObject* discover_builtin_plugins();
PyObject* discover_external_plugins();

PyObject* print_tree(PyObject* self, PyObject* data, PyObject* output);
PyObject* manager_repr(PyObject* self);

// `from <module> import <name>`: ImportError "cannot import name ..." when
// the module lacks it.
Ref import_from(PyObject* module, PyObject* name);
// The module, imported with `fromlist` (a tuple of names) at `level`.
Ref import_module_level(const char* name, PyObject* fromlist, int level);

}  // namespace corvane
