// corvane.core.pluginmanager: the registry of connection classes.
//
// What importing the module builds, in Python terms:
//
//     import os, pkgutil, importlib
//     from corvane import log
//     from corvane.plugins import supported_chassis, supported_os
//     from inspect import getfile
//     from .errors import ConnectionInfraError
//     from importlib.metadata import entry_points
//     ENTRYPOINT_GROUP = "corvane.plugins"
//
//     class PluginManager:
//         def __init__(self): ...                      # registry.cpp
//         plugins = property(getter).setter(setter)    # registry.cpp
//         def validate_model(self, os, platform, model): ...   # validation.cpp
//         ... validate_platform, validate_os, validate_chassis_type, validate_arguments
//         def get_plugin(self, os=None, ..., chassis_type="single_rp"): ...
//         def unregister_plugin(self, os=None, ..., chassis_type=None): ...
//         def register_plugin(self, cls, os=None, ..., chassis_type="single_rp"): ...
//         discover_builtin_plugins = staticmethod(...)  # discovery.cpp
//         discover_external_plugins = staticmethod(...)
//         def print_tree(self, data, output="plugin"): ...     # rendering.cpp
//         def __repr__(self): ...
//
// The module can be initialised once per process, in the first interpreter
// that imports it; every namespace name is read again at call time.
//
// Where the behaviour first written for this module was faulty, the module
// deliberately does otherwise:
// - "data" names the chassis map, never a key-path component: registering
//   under it raises ConnectionInfraError ("The name 'data' is reserved ..."),
//   unregistering under it finds nothing, lookup skips it;
// - registration asks getfile(cls) before it creates any node, so a class
//   without a file leaves the tree as it was;
// - the not-found message of a lookup joins str(key) of every key, so a
//   None or other non-str key cannot turn it into a TypeError;
// - the unknown-OS debug line formats the OS as the one argument of its
//   template, so a tuple OS is rendered whole instead of failing;
// - a tree too deep for the C stack renders (or raises RecursionError)
//   instead of crashing.
#include "module.hpp"

#include <frameobject.h>

namespace corvane {

namespace {

const char kModuleName[] = "corvane.core.pluginmanager";

const char kModuleDoc[] =
    "Module:\n"
    "    corvane.core.pluginmanager\n"
    "\n"
    "Description:\n"
    "    This module provides:\n"
    "    1. Methods for identifying and loading plugin implementations\n"
    "    2. Methods for validating and accessing platform implementation\n";

const char kClassDoc[] =
    "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n   "
    " ";

const char kPluginsDoc[] = " Plugin list getter\n        ";

const char kRegisterDoc[] =
    "\n"
    "            This method registers all the implementation plugin(i.e connection class)\n"
    "            to the corvane plugin manager\n"
    "\n"
    "            It takes OS, platform, MODEL information and based on that\n"
    "            registers it\n"
    "\n"
    "            cls refer to the connection class\n"
    "            chassis_type indicates if the connection class is for single_rp or\n"
    "            dual_rp or stack(default single_rp)\n"
    "\n"
    "        ";

const char kPrintTreeDoc[] =
    " This Method print the plugin list in tree structure\n"
    "\n"
    "            plugin\n"
    "              |__ generic\n"
    "                |__ data\n"
    "                  |__ single_rp\n"
    "                    |__ cls = <class 'corvane.plugins.generic.Connection'>\n"
    "                    |__ path = .../corvane/plugins/generic/__init__.py\n"
    "\n"
    "            data is the tree (or any nested mapping) to render and output\n"
    "            the first line of the text; the rendered text is returned.\n"
    "        ";

// Each member's parameters and docstring, and the entry that unpacks the
// bound arguments for its subsystem.
constexpr MemberSpec spec_init = {.doc = "\n            Initialize\n        ",
                                  .is_method = true,
                                  .nparams = 1,
                                  .params = {{"self"}},
                                  .entry = [](PyObject* const* a) { return manager_init(a[0]); }};

constexpr MemberSpec spec_plugins_getter = {
    .doc = kPluginsDoc,
    .is_method = true,
    .nparams = 1,
    .params = {{"self"}},
    .entry = [](PyObject* const* a) { return plugins_getter(a[0]); }};

constexpr MemberSpec spec_plugins_setter = {
    .doc = kPluginsDoc,
    .is_method = true,
    .nparams = 2,
    .params = {{"self"}, {"value"}},
    .entry = [](PyObject* const* a) { return plugins_setter(a[0], a[1]); }};

constexpr MemberSpec spec_validate_model = {.doc = "\n         Validates Model\n        ",
                                            .is_method = true,
                                            .nparams = 4,
                                            .params = {{"self"}, {"os"}, {"platform"}, {"model"}},
                                            .entry = [](PyObject* const* a) {
                                                Call call(a[0]);
                                                return validate_model(call, a[1], a[2], a[3]);
                                            }};

constexpr MemberSpec spec_validate_platform = {.doc = "\n         Validates platform\n        ",
                                               .is_method = true,
                                               .nparams = 3,
                                               .params = {{"self"}, {"os"}, {"platform"}},
                                               .entry = [](PyObject* const* a) {
                                                   Call call(a[0]);
                                                   return validate_platform(call, a[1], a[2]);
                                               }};

constexpr MemberSpec spec_validate_os = {.doc = "\n         Validates OS\n        ",
                                         .is_method = true,
                                         .nparams = 2,
                                         .params = {{"self"}, {"os"}},
                                         .entry = [](PyObject* const* a) {
                                             Call call(a[0]);
                                             return validate_os(call, a[1]);
                                         }};

constexpr MemberSpec spec_validate_chassis_type = {.doc = "\n         Validate chassis\n        ",
                                                   .is_method = true,
                                                   .nparams = 2,
                                                   .params = {{"self"}, {"chassis_type"}},
                                                   .entry = [](PyObject* const* a) {
                                                       Call call(a[0]);
                                                       return validate_chassis_type(call, a[1]);
                                                   }};

constexpr MemberSpec spec_validate_arguments = {
    .doc = " Validates the input arguments provided\n        ",
    .is_method = true,
    .nparams = 5,
    .params = {{"self"}, {"os"}, {"platform"}, {"model"}, {"chassis_type"}},
    .entry = [](PyObject* const* a) {
        Call call(a[0]);
        return validate_arguments(call, a[1], a[2], a[3], a[4]);
    }};

constexpr MemberSpec spec_get_plugin = {
    .doc =
        "\n            This method returns the connection class based on the\n"
        "            input details provided\n        ",
    .is_method = true,
    .nparams = 6,
    .params = {{"self"},
               {"os", Default::none},
               {"platform", Default::none},
               {"model", Default::none},
               {"os_flavor", Default::none},
               {"chassis_type", Default::single_rp}},
    .entry = [](PyObject* const* a) {
        Call call(a[0]);
        return get_plugin(call, a[1], a[2], a[3], a[4], a[5]);
    }};

constexpr MemberSpec spec_unregister_plugin = {
    .doc =
        "\n            This method unregister a particular implementations from\n"
        "            the internal database\n        ",
    .is_method = true,
    .nparams = 6,
    .params = {{"self"},
               {"os", Default::none},
               {"platform", Default::none},
               {"model", Default::none},
               {"os_flavor", Default::none},
               {"chassis_type", Default::none}},
    .entry = [](PyObject* const* a) {
        Call call(a[0]);
        return unregister_plugin(call, a[1], a[2], a[3], a[4], a[5]);
    }};

constexpr MemberSpec spec_register_plugin = {.doc = kRegisterDoc,
                                             .is_method = true,
                                             .nparams = 7,
                                             .params = {{"self"},
                                                        {"cls"},
                                                        {"os", Default::none},
                                                        {"platform", Default::none},
                                                        {"model", Default::none},
                                                        {"os_flavor", Default::none},
                                                        {"chassis_type", Default::single_rp}},
                                             .entry = [](PyObject* const* a) {
                                                 Call call(a[0]);
                                                 return register_plugin(call, a[1], a[2], a[3],
                                                                        a[4], a[5], a[6]);
                                             }};

constexpr MemberSpec spec_discover_builtin_plugins = {
    .doc = "loads all plugins",
    .is_method = false,
    .nparams = 0,
    .params = {},
    .entry = [](PyObject* const*) { return discover_builtin_plugins(); }};

constexpr MemberSpec spec_discover_external_plugins = {
    .doc = "\n        discover external plugins defined that users pip installed.\n        ",
    .is_method = false,
    .nparams = 0,
    .params = {},
    .entry = [](PyObject* const*) { return discover_external_plugins(); }};

constexpr MemberSpec spec_print_tree = {.doc = kPrintTreeDoc,
                                        .is_method = true,
                                        .nparams = 3,
                                        .params = {{"self"}, {"data"}, {"output", Default::plugin}},
                                        .entry = [](PyObject* const* a) {
                                            Call call(a[0]);
                                            return print_tree(call, a[1], a[2]);
                                        }};

constexpr MemberSpec spec_repr = {.doc = nullptr,
                                  .is_method = true,
                                  .nparams = 1,
                                  .params = {{"self"}},
                                  .entry = [](PyObject* const* a) {
                                      Call call(a[0]);
                                      return manager_repr(call);
                                  }};

// The member table, in class-body order (members.hpp).
const MemberSpec kMembers[] = {
#define CORVANE_MEMBER_SPEC(id, name) spec_##id,
    CORVANE_MEMBERS(CORVANE_MEMBER_SPEC)
#undef CORVANE_MEMBER_SPEC
};
static_assert(sizeof(kMembers) / sizeof(kMembers[0]) == static_cast<size_t>(Member::count));

// The module object, once initialised: it can be initialised once per
// process. Deliberately never released (no destructors run after
// finalisation).
PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

Ref make_tuple(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) {
        return tuple;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    }
    return tuple;
}

// The module is built for one minor version of the host: a different one
// at run time gets a warning (an error only if the filters say so).
int check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                            major, minor);
}

// A builtin the class needs; NameError when the host lacks it.
Ref builtin(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    if (!key) {
        return key;
    }
    PyObject* value = PyDict_GetItemWithError(PyEval_GetBuiltins(), key.get());
    if (value == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
        }
        return Ref();
    }
    return Ref::borrow(value);
}

int bind(PyObject* name, PyObject* value) {
    return PyObject_SetAttr(g_module, name, value);
}

int bind_import(PyObject* module, PyObject* name) {
    Ref value = import_from(module, name);
    return value ? bind(name, value.get()) : -1;
}

// Imports the standard modules and the package services into the namespace,
// in the order a reader of the module would see them bound.
int import_services() {
    for (const char* name : {"os", "pkgutil", "importlib"}) {
        Ref module = import_module_level(name, nullptr, 0);
        if (!module || PyObject_SetAttrString(g_module, name, module.get()) < 0) {
            return -1;
        }
    }
    struct From {
        const char* module;
        std::initializer_list<PyObject*> names;
        int level;
    };
    const From imports[] = {
        {"corvane", {names.log}, 0},
        {"corvane.plugins", {names.supported_chassis, names.supported_os}, 0},
        {"inspect", {names.getfile}, 0},
        {"errors", {names.ConnectionInfraError}, 1},
        {"importlib.metadata", {names.entry_points}, 0},
    };
    for (const From& from : imports) {
        Ref fromlist = make_tuple(from.names);
        if (!fromlist) {
            return -1;
        }
        Ref module = import_module_level(from.module, fromlist.get(), from.level);
        if (!module) {
            return -1;
        }
        for (PyObject* name : from.names) {
            if (bind_import(module.get(), name) < 0) {
                return -1;
            }
        }
    }
    Ref getfile = global(names.getfile);
    if (!getfile) {
        return -1;
    }
    attach_getfile(getfile.get());
    Ref group = Ref::steal(PyUnicode_FromString("corvane.plugins"));
    return group ? bind(names.ENTRYPOINT_GROUP, group.get()) : -1;
}

int set_item(PyObject* mapping, const char* key, PyObject* value) {
    Ref name = Ref::steal(PyUnicode_InternFromString(key));
    return name ? PyObject_SetItem(mapping, name.get(), value) : -1;
}

// Builds PluginManager as a class statement would: the namespace from the
// metaclass's __prepare__, filled in member-table order, then the metaclass
// called with name, bases and namespace.
Ref build_class(PyObject* object_type, PyObject* property_type, PyObject* staticmethod_type) {
    Ref module_name = Ref::steal(PyUnicode_FromString(kModuleName));
    Ref class_name = Ref::steal(PyUnicode_InternFromString("PluginManager"));
    Ref doc = Ref::steal(PyUnicode_FromString(kClassDoc));
    if (!module_name || !class_name || !doc) {
        return Ref();
    }
    Ref bases = make_tuple({object_type});
    if (!bases) {
        return Ref();
    }
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(object_type));
    Ref ns = Ref::steal(
        PyObject_CallMethod(metaclass, "__prepare__", "OO", class_name.get(), bases.get()));
    if (!ns || set_item(ns.get(), "__module__", module_name.get()) < 0 ||
        set_item(ns.get(), "__qualname__", class_name.get()) < 0 ||
        set_item(ns.get(), "__doc__", doc.get()) < 0) {
        return Ref();
    }
    for (int i = 0; i < static_cast<int>(Member::count); ++i) {
        const MemberSpec& spec = kMembers[i];
        const char* name = kMemberNames[i];
        Ref function = make_function(spec, name, module_name.get());
        if (!function) {
            return Ref();
        }
        attach_member(static_cast<Member>(i), function.get());
        Ref value;
        switch (static_cast<Member>(i)) {
            case Member::plugins_getter:
                value = Ref::steal(PyObject_CallOneArg(property_type, function.get()));
                break;
            case Member::plugins_setter: {
                Ref key = Ref::steal(PyUnicode_InternFromString(name));
                Ref getter_only = key ? Ref::steal(PyObject_GetItem(ns.get(), key.get())) : Ref();
                value = getter_only ? Ref::steal(PyObject_CallMethodOneArg(
                                          getter_only.get(), names.setter, function.get()))
                                    : Ref();
                break;
            }
            case Member::discover_builtin_plugins:
            case Member::discover_external_plugins:
                value = Ref::steal(PyObject_CallOneArg(staticmethod_type, function.get()));
                break;
            default:
                value = std::move(function);
                break;
        }
        if (!value || set_item(ns.get(), name, value.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(
        PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(), ns.get(), nullptr));
}

int initialise() {
    if (check_version() < 0 || init_names() < 0 || function_type_ready() < 0) {
        return -1;
    }
    Ref object_type = builtin("object");
    Ref property_type = object_type ? builtin("property") : Ref();
    Ref staticmethod_type = property_type ? builtin("staticmethod") : Ref();
    if (!staticmethod_type) {
        return -1;
    }
    for (const char* name : {"ImportError", "TypeError", "hex", "id"}) {
        if (!builtin(name)) {
            return -1;
        }
    }
    if (import_services() < 0) {
        return -1;
    }
    Ref cls = build_class(object_type.get(), property_type.get(), staticmethod_type.get());
    return cls ? PyObject_SetAttrString(g_module, "PluginManager", cls.get()) : -1;
}

// Adds an entry for `function` to the traceback of the pending exception, so
// that a failed initialisation shows where it failed. A failure to build the
// entry leaves the exception as it was.
void add_traceback_entry(const char* function, const char* file, int line) {
    Ref error = take_error();
    Ref globals = Ref::steal(PyDict_New());
    Ref code = globals
                   ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)))
                   : Ref();
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                           globals.get(), nullptr)))
                     : Ref();
    if (!frame) {
        PyErr_Clear();
    }
    restore_error(std::move(error));
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

int copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to,
                        bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyObject_SetAttrString(module, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* /*def*/) {
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) {
        return nullptr;
    }
    if (g_interpreter == -1) {
        g_interpreter = interpreter;
    } else if (g_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module || copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) <
            0) {
        return nullptr;
    }
    return module.release();
}

int module_exec(PyObject* module) {
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'pluginmanager' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    if (attach_module(module) == 0 && initialise() == 0) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init corvane.core.pluginmanager");
    }
    add_traceback_entry("init corvane.core.pluginmanager", __FILE__, __LINE__);
    // A failed import leaves nothing behind: the next import starts afresh.
    detach_members();
    detach_module();
    Py_CLEAR(g_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "pluginmanager",
    .m_doc = kModuleDoc,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace corvane

PyMODINIT_FUNC PyInit_pluginmanager() {
    return PyModuleDef_Init(&corvane::module_def);
}
