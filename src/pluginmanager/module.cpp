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
#include "module.hpp"

#include <cstdio>

namespace corvane {

Names names;
PyObject* standard_getfile = nullptr;

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

// The member table: class-body order, which is also the order of the
// class __dict__. Each entry unpacks the bound arguments for its subsystem.
const MemberSpec kMembers[] = {
    {.name = "__init__",
     .qualname = "PluginManager.__init__",
     .doc = "\n            Initialize\n        ",
     .is_method = true,
     .nparams = 1,
     .params = {{"self"}},
     .entry = [](PyObject* const* a) { return manager_init(a[0]); }},
    {.name = "plugins",
     .qualname = "PluginManager.plugins",
     .doc = kPluginsDoc,
     .is_method = true,
     .nparams = 1,
     .params = {{"self"}},
     .entry = [](PyObject* const* a) { return plugins_getter(a[0]); }},
    {.name = "plugins",
     .qualname = "PluginManager.plugins",
     .doc = kPluginsDoc,
     .is_method = true,
     .nparams = 2,
     .params = {{"self"}, {"value"}},
     .entry = [](PyObject* const* a) { return plugins_setter(a[0], a[1]); }},
    {.name = "validate_model",
     .qualname = "PluginManager.validate_model",
     .doc = "\n         Validates Model\n        ",
     .is_method = true,
     .nparams = 4,
     .params = {{"self"}, {"os"}, {"platform"}, {"model"}},
     .entry = [](PyObject* const* a) { return validate_model(a[0], a[1], a[2], a[3]); }},
    {.name = "validate_platform",
     .qualname = "PluginManager.validate_platform",
     .doc = "\n         Validates platform\n        ",
     .is_method = true,
     .nparams = 3,
     .params = {{"self"}, {"os"}, {"platform"}},
     .entry = [](PyObject* const* a) { return validate_platform(a[0], a[1], a[2]); }},
    {.name = "validate_os",
     .qualname = "PluginManager.validate_os",
     .doc = "\n         Validates OS\n        ",
     .is_method = true,
     .nparams = 2,
     .params = {{"self"}, {"os"}},
     .entry = [](PyObject* const* a) { return validate_os(a[0], a[1]); }},
    {.name = "validate_chassis_type",
     .qualname = "PluginManager.validate_chassis_type",
     .doc = "\n         Validate chassis\n        ",
     .is_method = true,
     .nparams = 2,
     .params = {{"self"}, {"chassis_type"}},
     .entry = [](PyObject* const* a) { return validate_chassis_type(a[0], a[1]); }},
    {.name = "validate_arguments",
     .qualname = "PluginManager.validate_arguments",
     .doc = " Validates the input arguments provided\n        ",
     .is_method = true,
     .nparams = 5,
     .params = {{"self"}, {"os"}, {"platform"}, {"model"}, {"chassis_type"}},
     .entry = [](PyObject* const* a) { return validate_arguments(a[0], a[1], a[2], a[3], a[4]); }},
    {.name = "get_plugin",
     .qualname = "PluginManager.get_plugin",
     .doc = "\n            This method returns the connection class based on the\n"
            "            input details provided\n        ",
     .is_method = true,
     .nparams = 6,
     .params = {{"self"},
                {"os", Default::none},
                {"platform", Default::none},
                {"model", Default::none},
                {"os_flavor", Default::none},
                {"chassis_type", Default::single_rp}},
     .entry = [](PyObject* const* a) { return get_plugin(a[0], a[1], a[2], a[3], a[4], a[5]); }},
    {.name = "unregister_plugin",
     .qualname = "PluginManager.unregister_plugin",
     .doc = "\n            This method unregister a particular implementations from\n"
            "            the internal database\n        ",
     .is_method = true,
     .nparams = 6,
     .params = {{"self"},
                {"os", Default::none},
                {"platform", Default::none},
                {"model", Default::none},
                {"os_flavor", Default::none},
                {"chassis_type", Default::none}},
     .entry =
         [](PyObject* const* a) { return unregister_plugin(a[0], a[1], a[2], a[3], a[4], a[5]); }},
    {.name = "register_plugin",
     .qualname = "PluginManager.register_plugin",
     .doc = kRegisterDoc,
     .is_method = true,
     .nparams = 7,
     .params = {{"self"},
                {"cls"},
                {"os", Default::none},
                {"platform", Default::none},
                {"model", Default::none},
                {"os_flavor", Default::none},
                {"chassis_type", Default::single_rp}},
     .entry =
         [](PyObject* const* a) {
             return register_plugin(a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
         }},
    {.name = "discover_builtin_plugins",
     .qualname = "PluginManager.discover_builtin_plugins",
     .doc = "loads all plugins",
     .is_method = false,
     .nparams = 0,
     .params = {},
     .entry = [](PyObject* const*) { return discover_builtin_plugins(); }},
    {.name = "discover_external_plugins",
     .qualname = "PluginManager.discover_external_plugins",
     .doc = "\n        discover external plugins defined that users pip installed.\n        ",
     .is_method = false,
     .nparams = 0,
     .params = {},
     .entry = [](PyObject* const*) { return discover_external_plugins(); }},
    {.name = "print_tree",
     .qualname = "PluginManager.print_tree",
     .doc = kPrintTreeDoc,
     .is_method = true,
     .nparams = 3,
     .params = {{"self"}, {"data"}, {"output", Default::plugin}},
     .entry = [](PyObject* const* a) { return print_tree(a[0], a[1], a[2]); }},
    {.name = "__repr__",
     .qualname = "PluginManager.__repr__",
     .doc = nullptr,
     .is_method = true,
     .nparams = 1,
     .params = {{"self"}},
     .entry = [](PyObject* const* a) { return manager_repr(a[0]); }},
};
static_assert(sizeof(kMembers) / sizeof(kMembers[0]) == static_cast<size_t>(Member::count));

// Process-wide state. The module lives until the process ends, so these are
// deliberately never released (no destructors run after finalisation).
PyObject* g_module = nullptr;
PyObject* g_namespace = nullptr;  // borrowed from g_module
int64_t g_interpreter = -1;
PyObject* g_functions[static_cast<int>(Member::count)] = {};

PyObject* member_name(Member member) {
    switch (member) {
        case Member::validate_model:
            return names.validate_model;
        case Member::validate_platform:
            return names.validate_platform;
        case Member::validate_os:
            return names.validate_os;
        case Member::validate_chassis_type:
            return names.validate_chassis_type;
        case Member::validate_arguments:
            return names.validate_arguments;
        case Member::print_tree:
            return names.print_tree;
        default:
            break;
    }
    return nullptr;
}

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

int intern(PyObject** slot, const char* text) {
    if (*slot == nullptr) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr ? 0 : -1;
}

int intern_tuple(PyObject** slot, std::initializer_list<PyObject*> items) {
    if (*slot == nullptr) {
        *slot = make_tuple(items).release();
    }
    return *slot != nullptr ? 0 : -1;
}

int init_names() {
#define CORVANE_INTERN_NAME(name)         \
    if (intern(&names.name, #name) < 0) { \
        return -1;                        \
    }
    CORVANE_NAMES(CORVANE_INTERN_NAME)
#undef CORVANE_INTERN_NAME
    if (intern(&names.empty, "") < 0 || intern(&names.newline, "\n") < 0 ||
        intern(&names.heading_mark, "__ ") < 0 || intern(&names.leaf_mark, " = ") < 0 ||
        intern(&names.slash, "/") < 0 || intern(&names.dot, ".") < 0 ||
        intern(&names.plugins_infix, ".plugins.") < 0 ||
        intern(&names.tests_infix, ".tests.") < 0) {
        return -1;
    }
    if (intern_tuple(&names.os_platform_model, {names.os, names.platform, names.model}) < 0 ||
        intern_tuple(&names.platform_os, {names.platform, names.os}) < 0 ||
        intern_tuple(&names.os_only, {names.os}) < 0 ||
        intern_tuple(&names.chassis_type_only, {names.chassis_type}) < 0 ||
        intern_tuple(&names.data_output, {names.data, names.output}) < 0 ||
        intern_tuple(&names.group_only, {names.group}) < 0) {
        return -1;
    }
    return 0;
}

int check_version() {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) {
        return 0;
    }
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
    return PyDict_SetItem(g_namespace, name, value);
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
        if (!module || PyDict_SetItemString(g_namespace, name, module.get()) < 0) {
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
    Py_XSETREF(standard_getfile, Py_XNewRef(PyDict_GetItemWithError(g_namespace, names.getfile)));
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
        Ref function = make_function(spec, module_name.get());
        if (!function) {
            return Ref();
        }
        Py_XSETREF(g_functions[i], Py_NewRef(function.get()));
        Ref value;
        switch (static_cast<Member>(i)) {
            case Member::plugins_getter:
                value = Ref::steal(PyObject_CallOneArg(property_type, function.get()));
                break;
            case Member::plugins_setter: {
                Ref key = Ref::steal(PyUnicode_InternFromString(spec.name));
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
        if (!value || set_item(ns.get(), spec.name, value.get()) < 0) {
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
    return cls ? PyDict_SetItemString(g_namespace, "PluginManager", cls.get()) : -1;
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
    g_namespace = PyModule_GetDict(module);
    if (initialise() == 0) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init corvane.core.pluginmanager");
    }
    _PyTraceback_Add("init corvane.core.pluginmanager", __FILE__, __LINE__);
    // A failed import leaves nothing behind: the next import starts afresh.
    for (PyObject*& function : g_functions) {
        Py_CLEAR(function);
    }
    g_namespace = nullptr;
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

Ref global(PyObject* name) {
    PyObject* value = g_namespace != nullptr ? PyDict_GetItemWithError(g_namespace, name) : nullptr;
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
    }
    return Ref::borrow(value);
}

int pending_error_matches(PyObject* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref handler = global(name);
    if (!handler) {
        // The failed lookup raises, as the `except` clause would.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return -1;
    }
    PyErr_Restore(type, value, traceback);
    return PyErr_ExceptionMatches(handler.get());
}

PyObject* raise_connection_error(PyObject* message) {
    Ref error_class = global(names.ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(error_class.get(), message));
    if (!error) {
        return nullptr;
    }
    // `raise ConnectionInfraError(message)`: an instance is raised as it is,
    // a class is instantiated, anything else is refused as `raise` refuses it.
    if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    } else if (PyExceptionClass_Check(error.get())) {
        PyErr_SetNone(error.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

PyObject* raise_connection_error(const char* message) {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    return text ? raise_connection_error(text.get()) : nullptr;
}

int log_debug(PyObject* text) {
    Ref logger = global(names.log);
    if (!logger) {
        return -1;
    }
    Ref result = Ref::steal(PyObject_CallMethodOneArg(logger.get(), names.debug, text));
    return result ? 0 : -1;
}

Resolved resolve(PyObject* self, Member member) {
    Resolved resolved;
    PyObject* method = nullptr;
    const int unbound = _PyObject_GetMethod(self, member_name(member), &method);
    resolved.method_ = Ref::steal(method);
    resolved.unbound_ = unbound == 1;
    resolved.own_ = resolved.unbound_ && method == g_functions[static_cast<int>(member)];
    return resolved;
}

namespace {

// The members that call each other through the instance.
constexpr Member kCalledThroughInstance[] = {
    Member::validate_model,        Member::validate_platform,  Member::validate_os,
    Member::validate_chassis_type, Member::validate_arguments, Member::print_tree,
};

// The last instance found without overrides, recognised by its class's
// version tag and its __dict__'s version tag: either changes with every
// modification of the class (or a base) or of the instance's attributes,
// and neither is ever reused, so no reference needs to be held.
struct OwnMembersCache {
    PyTypeObject* type = nullptr;
    unsigned int type_tag = 0;
    PyObject* dict = nullptr;
    uint64_t dict_tag = 0;
    // The class defines none of the instance's state attributes, so they
    // are read from the __dict__ as attribute lookup would find them.
    bool plain_state = false;
    // Their values, found once: the __dict__ holds them, unchanged while its
    // version tag is.
    PyObject* state_values[3] = {};
};
OwnMembersCache own_members_cache;

// The instance state attributes the members read on every call.
PyObject* state_name(int index) {
    PyObject* const state[] = {names._plugins, names.supported_os, names.chassis_type_list};
    return state[index];
}

uint64_t dict_tag(PyObject* dict) {
    return dict != nullptr ? reinterpret_cast<PyDictObject*>(dict)->ma_version_tag : 0;
}

// The instance's __dict__ slot, or nullptr when it has none or when
// attribute lookup is customised.
PyObject** plain_dict_slot(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return nullptr;
    }
    return _PyObject_GetDictPtr(self);
}

bool cache_holds(PyObject* self, PyObject* dict) {
    const OwnMembersCache& cache = own_members_cache;
    PyTypeObject* type = Py_TYPE(self);
    return cache.type == type && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
           cache.type_tag == type->tp_version_tag && cache.dict == dict &&
           cache.dict_tag == dict_tag(dict);
}

}  // namespace

int members_are_own(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject** dict_slot = plain_dict_slot(self);
    if (dict_slot == nullptr) {
        // Custom attribute lookup, or a __dict__ that could not be had: let
        // attribute lookup decide.
        return 0;
    }
    PyObject* dict = *dict_slot;
    if (cache_holds(self, dict)) {
        return 1;
    }
    // A key's __eq__ may replace the __dict__ or the class while they are
    // looked at: keep both alive.
    const Ref hold_dict = Ref::borrow(dict);
    const Ref hold_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
    const uint64_t tag_before = dict_tag(dict);
    for (Member member : kCalledThroughInstance) {
        PyObject* name = member_name(member);
        if (_PyType_Lookup(type, name) != g_functions[static_cast<int>(member)]) {
            return 0;
        }
        if (dict != nullptr) {
            if (PyDict_GetItemWithError(dict, name) != nullptr) {
                return 0;
            }
            if (PyErr_Occurred()) {
                return -1;
            }
        }
    }
    // Looking names up in the __dict__ can run a key's __eq__: remember the
    // answer only for a state that did not change meanwhile.
    if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && Py_TYPE(self) == type &&
        plain_dict_slot(self) == dict_slot && *dict_slot == dict && dict_tag(dict) == tag_before) {
        bool plain_state = true;
        for (int i = 0; i < 3; ++i) {
            plain_state = plain_state && _PyType_Lookup(type, state_name(i)) == nullptr;
        }
        own_members_cache = {type, type->tp_version_tag, dict, dict_tag(dict), plain_state, {}};
    }
    return 1;
}

Ref state_attribute(PyObject* self, PyObject* name) {
    PyObject** dict_slot = plain_dict_slot(self);
    OwnMembersCache& cache = own_members_cache;
    if (dict_slot != nullptr && *dict_slot != nullptr && cache.plain_state &&
        cache_holds(self, *dict_slot)) {
        int index = 2;
        while (index >= 0 && state_name(index) != name) {
            --index;
        }
        if (index >= 0 && cache.state_values[index] != nullptr) {
            return Ref::borrow(cache.state_values[index]);
        }
        PyObject* value = PyDict_GetItemWithError(*dict_slot, name);
        if (value != nullptr) {
            if (index >= 0) {
                cache.state_values[index] = value;
            }
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    return Ref::steal(PyObject_GetAttr(self, name));
}

Ref Resolved::call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) const {
    const Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    if (!unbound_) {
        return Ref::steal(
            PyObject_Vectorcall(method_.get(), args, static_cast<size_t>(nargs), kwnames));
    }
    // Room for `self` in front, and the slot before it that
    // PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow.
    PyObject* stack[2 + kMaxParams];
    if (total > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for a member call");
        return Ref();
    }
    stack[0] = nullptr;
    stack[1] = self;
    for (Py_ssize_t i = 0; i < total; ++i) {
        stack[2 + i] = args[i];
    }
    return Ref::steal(PyObject_Vectorcall(
        method_.get(), stack + 1, static_cast<size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        kwnames));
}

int truth(PyObject* object) {
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

int equals(PyObject* left, PyObject* right) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        return left == right || _PyUnicode_EQ(left, right);
    }
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? truth(result.get()) : -1;
}

int node_lookup(PyObject* mapping, PyObject* key, Ref* value) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found == nullptr) {
            return PyErr_Occurred() ? -1 : 0;
        }
        *value = Ref::borrow(found);
        return 1;
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(mapping, names.keys));
    if (!keys) {
        return -1;
    }
    const int present = PySequence_Contains(keys.get(), key);
    if (present <= 0) {
        return present;
    }
    *value = Ref::steal(PyObject_GetItem(mapping, key));
    return *value ? 1 : -1;
}

int node_contains(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        return PyDict_Contains(mapping, key);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(mapping, names.keys));
    return keys ? PySequence_Contains(keys.get(), key) : -1;
}

Ref import_module_level(const char* name, PyObject* fromlist, int level) {
    return Ref::steal(PyImport_ImportModuleLevel(name, g_namespace, nullptr, fromlist, level));
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

}  // namespace corvane

PyMODINIT_FUNC PyInit_pluginmanager() {
    return PyModuleDef_Init(&corvane::module_def);
}
