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
// The module can be initialised once in the life of the first interpreter
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
// - the unknown-OS debug line, and the not-found message of unregistering a
//   chassis type, wrap a tuple in a tuple of one, so that `%` renders it
//   whole instead of failing; anything else goes to `%` as it is;
// - every call into the module from Python code checks the running
//   thread's stack first: RecursionError instead of a crash when Python code
//   (an override, a key's __eq__, a logger) calls back into the module
//   deeper than the stack holds;
// - what the module keeps is released when the interpreter that imported
//   it finalises, so that an interpreter started after it imports the
//   module afresh, where a module emptied by finalisation would be given
//   back.
#include <utility>

#include "discovery.hpp"
#include "memo.hpp"
// PyFrame_New, for the traceback entry of a failed import; after Python.h.
#include "frameobject.h"
#include "registry.hpp"
#include "rendering.hpp"
#include "sentinel.hpp"
#include "validation.hpp"

namespace corvane {

namespace {

// ---- The member table, made from the rows of members.hpp ----

// The entry of a method: the bound arguments unpacked into its C++, `self`
// as the Call it starts.
template <typename... Args>
constexpr int arity(PyObject* (*)(Call&, Args...)) {
    return static_cast<int>(sizeof...(Args));
}
constexpr int arity(PyObject* (*)()) {
    return -1;
}
template <auto function, size_t... index>
PyObject* enter_method(PyObject* const* args, bool bound_at_once, std::index_sequence<index...>) {
    Call call(args[0], bound_at_once);
    return function(call, args[index + 1]...);
}
template <auto function>
PyObject* method_entry(PyObject* const* args, bool bound_at_once) {
    return enter_method<function>(args, bound_at_once, std::make_index_sequence<arity(function)>());
}
template <auto function>
PyObject* static_entry(PyObject* const*, bool) {
    return function();
}

#define CORVANE_ENTRY_method(function) &method_entry<&function>
#define CORVANE_ENTRY_getter(function) &method_entry<&function>
#define CORVANE_ENTRY_setter(function) &method_entry<&function>
#define CORVANE_ENTRY_static_method(function) &static_entry<&function>
#define R(name)                  \
    Param {                      \
        #name, Default::required \
    }
#define D(name, value)        \
    Param {                   \
        #name, Default::value \
    }
#define CORVANE_MEMBER_SPEC(id, name, kind, called, doc, function, ...)            \
    MemberSpec{doc,                                                                \
               Kind::kind,                                                         \
               static_cast<int>(std::initializer_list<Param>{__VA_ARGS__}.size()), \
               {__VA_ARGS__},                                                      \
               CORVANE_ENTRY_##kind(function)},
const MemberSpec kMembers[] = {CORVANE_MEMBERS(CORVANE_MEMBER_SPEC)};
#undef CORVANE_MEMBER_SPEC

// A method's C++ takes one argument per parameter after `self`.
#define CORVANE_CHECK_ARITY(id, name, kind, called, doc, function, ...)                       \
    static_assert(Kind::kind == Kind::static_method ||                                        \
                      arity(&function) + 1 ==                                                 \
                          static_cast<int>(std::initializer_list<Param>{__VA_ARGS__}.size()), \
                  name);
CORVANE_MEMBERS(CORVANE_CHECK_ARITY)
#undef CORVANE_CHECK_ARITY
#undef R
#undef D

// The module object, once initialised, and the interpreter that imported it
// first: the module can be initialised once in that interpreter's life.
// Both go when that interpreter finalises, with everything else the module
// keeps (release_state), so that an interpreter started after it imports
// the module afresh.
PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

void release_module_object() {
    Py_CLEAR(g_module);
}
bool module_object_kept() noexcept {
    return g_module != nullptr;
}

// Everything the module keeps beyond a call, piece by piece, in the order it
// is let go: after a failed initialisation, and when the interpreter
// finalises. Initialising again finds none of it.
struct KeptPiece {
    const char* name;
    void (*release)();
    bool (*kept)() noexcept;
};
constexpr KeptPiece kKeptPieces[] = {
    {"the sentinel's reports", sentinel::detach, sentinel::kept},
    {"the member functions", detach_members, members_kept},
    {"the remembered lookups", forget_lookups, lookups_kept},
    {"the proofs of dict keys", detach_proofs, proofs_kept},
    {"the module namespace", detach_module, module_kept},
    {"the walk item unpacking", release_discovery, discovery_kept},
    {"the function type", release_function_type, function_type_kept},
    {"the interned names", release_names, names_kept},
    {"the module object", release_module_object, module_object_kept},
};

void release_state() {
    for (const KeptPiece& piece : kKeptPieces) {
        piece.release();
    }
}

// -1 with SystemError when a piece of an earlier initialisation was not let
// go: the module would start with another interpreter's objects.
int check_released() {
    for (const KeptPiece& piece : kKeptPieces) {
        if (piece.kept()) {
            PyErr_Format(PyExc_SystemError, texts::kStillKept, piece.name);
            return -1;
        }
    }
    return 0;
}

// The interpreter clears its own dict, and this capsule with it, when it
// finalises: after its modules are gone, while objects can still be let go.
void on_interpreter_finalised(PyObject*) {
    release_state();
    g_interpreter = -1;
}

int release_with_interpreter() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (dict == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, texts::kNoInterpreterDict);
        }
        return -1;
    }
    Ref capsule =
        Ref::steal(PyCapsule_New(&g_module, texts::kModuleName, on_interpreter_finalised));
    return capsule ? PyDict_SetItemString(dict, texts::kModuleName, capsule.get()) : -1;
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

// The module is built for one minor version of the host: a different one
// at run time gets a warning (an error only if the filters say so).
int check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, texts::kVersionMismatch, PY_MAJOR_VERSION,
                            PY_MINOR_VERSION, texts::kModuleName, texts::kVersionDiffers, major,
                            minor);
}

// A builtin the class needs; NameError when the host lacks it.
Ref builtin(const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? module_builtin(key.get()) : Ref();
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
    Ref module_name = Ref::steal(PyUnicode_FromString(texts::kModuleName));
    Ref class_name = Ref::steal(PyUnicode_InternFromString("PluginManager"));
    Ref doc = Ref::steal(PyUnicode_FromString(texts::kClassDoc));
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
    FunctionFactory functions;
    if (functions.ready(kMembers, kMemberCount, module_name.get()) < 0) {
        return Ref();
    }
    for (int i = 0; i < kMemberCount; ++i) {
        const MemberSpec& spec = kMembers[i];
        PyObject* name = names.member[i];
        Ref function = functions.make(spec, kMemberNames[i]);
        if (!function) {
            return Ref();
        }
        attach_member(static_cast<Member>(i), function.get());
        Ref value;
        switch (spec.kind) {
            case Kind::getter:
                value = Ref::steal(PyObject_CallOneArg(property_type, function.get()));
                break;
            case Kind::setter: {
                Ref getter_only = Ref::steal(PyObject_GetItem(ns.get(), name));
                value = getter_only ? Ref::steal(PyObject_CallMethodOneArg(
                                          getter_only.get(), names.setter, function.get()))
                                    : Ref();
                break;
            }
            case Kind::static_method:
                value = Ref::steal(PyObject_CallOneArg(staticmethod_type, function.get()));
                break;
            case Kind::method:
                value = std::move(function);
                break;
        }
        if (!value || PyObject_SetItem(ns.get(), name, value.get()) < 0) {
            return Ref();
        }
    }
    Ref cls = Ref::steal(
        PyObject_CallFunctionObjArgs(metaclass, class_name.get(), bases.get(), ns.get(), nullptr));
    // A member without a docstring shows the one it inherits, as a `def`
    // does: help() finds it through the class the function names. Only
    // those name it: from 3.13 on, help() of a function that names its class
    // says so ("unbound ... method"), where a `def` says nothing.
    for (int i = 0; cls && i < kMemberCount; ++i) {
        if (kMembers[i].doc == nullptr &&
            set_function_class(own_function(static_cast<Member>(i)), cls.get()) < 0) {
            return Ref();
        }
    }
    return cls;
}

int initialise() {
    if (check_version() < 0 || init_names() < 0 || function_type_ready() < 0 ||
        attach_proofs() < 0 || discovery_ready() < 0) {
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
    if (!cls || PyObject_SetAttrString(g_module, "PluginManager", cls.get()) < 0) {
        return -1;
    }
    return sentinel::attach(g_module);
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
        PyErr_SetString(PyExc_ImportError, texts::kInterpreterChange);
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
        PyErr_SetString(PyExc_RuntimeError, texts::kReinitialised);
        return -1;
    }
    if (check_released() < 0) {
        return -1;
    }
    g_module = Py_NewRef(module);
    if (attach_module(module) == 0 && initialise() == 0 && release_with_interpreter() == 0) {
        return 0;
    }
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, texts::kInit);
    }
    add_traceback_entry(texts::kInit, __FILE__, __LINE__);
    // A failed import leaves nothing behind: the next import starts afresh.
    release_state();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    CORVANE_INTERPRETERS_SLOT{0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "pluginmanager",
    .m_doc = texts::kModuleDoc,
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
