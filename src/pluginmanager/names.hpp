// The strings the module uses on every call, interned once while the module
// initialises.
#pragma once

#include "refs.hpp"

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

}  // namespace corvane
