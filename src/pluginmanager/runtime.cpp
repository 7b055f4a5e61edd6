// The call path shared by the members: namespace reads, the examination of
// an instance for overrides, calls through the instance, and node lookups.
//
// Whether a class overrides nothing is found by walking its MRO once per
// state of the class: a class's version tag changes with every change to the
// class or any of its bases and is never given to another class, so the tags
// of the classes found plain are remembered (numbers, not pointers). The
// instance's __dict__ is examined on every call: it cannot hold an override
// when all its keys are strs that name no member, and then the state
// attributes are taken from it.
#include "runtime.hpp"

namespace corvane {

Names names;

namespace {

// Process-wide state, set while the module initialises. The module lives
// until the process ends, so these references are deliberately never
// released after a successful import (no destructors run after finalisation).
PyObject* g_module = nullptr;
PyObject* g_namespace = nullptr;
PyObject* g_getfile = nullptr;
PyObject* g_sys_dict = nullptr;  // the namespace of the sys module
PyObject* g_own_functions[static_cast<int>(Member::count)] = {};

// The members that call each other through the instance.
constexpr Member kCalledThroughInstance[] = {
    Member::validate_model,        Member::validate_platform,  Member::validate_os,
    Member::validate_chassis_type, Member::validate_arguments, Member::print_tree,
};

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

PyObject* state_name(int index) {
    PyObject* const state[] = {names._plugins, names.supported_os, names.chassis_type_list};
    return state[index];
}

int intern(PyObject** slot, const char* text) {
    if (*slot == nullptr) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr ? 0 : -1;
}

int intern_tuple(PyObject** slot, std::initializer_list<PyObject*> items) {
    if (*slot == nullptr) {
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
        if (!tuple) {
            return -1;
        }
        Py_ssize_t i = 0;
        for (PyObject* item : items) {
            PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
        }
        *slot = tuple.release();
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Classes that override nothing.

// The class's version tag, or 0 when it has none now.
unsigned int version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
        return 0;
    }
#endif
    return type->tp_version_tag;
}

// The tags of the last classes found plain, most recent first.
constexpr int kRememberedClasses = 4;
unsigned int g_plain_tags[kRememberedClasses] = {};

bool remembered_plain(unsigned int tag) {
    for (unsigned int plain : g_plain_tags) {
        if (plain == tag) {
            return true;
        }
    }
    return false;
}

void remember_plain(unsigned int tag) {
    for (int i = kRememberedClasses - 1; i > 0; --i) {
        g_plain_tags[i] = g_plain_tags[i - 1];
    }
    g_plain_tags[0] = tag;
}

// The class attribute `name` as instance attribute lookup finds it: the
// first entry along the MRO (*found stays empty when there is none).
// 1 when found or absent, 0 when the MRO is not one to reason about, -1 on
// error. A key stored in a class dict may run Python code when compared.
int class_attribute(PyTypeObject* type, PyObject* name, Ref* found) {
    const Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) {
            return 0;
        }
        const Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(base));
        if (!dict || !PyDict_Check(dict.get())) {
            return 0;
        }
        const int present = dict_get(dict.get(), name, found);
        if (present != 0) {
            return present < 0 ? -1 : 1;
        }
    }
    return 1;
}

// 1 when `type` overrides none of the members called through the instance
// and defines none of the state attributes; 0 otherwise; -1 on error. Found
// by walking its MRO; the caller first asks whether it is remembered.
int plain_class(PyTypeObject* type) {
    unsigned int tag = version_tag(type);
#if PY_VERSION_HEX >= 0x030C0000
    if (tag == 0 && PyUnstable_Type_AssignVersionTag(type)) {
        tag = version_tag(type);
    }
#endif
    if (tag == 0) {
        // Attribute lookup through the class gives it a tag; until then the
        // members are called through it.
        return 0;
    }
    for (Member member : kCalledThroughInstance) {
        Ref found;
        const int known = class_attribute(type, member_name(member), &found);
        if (known <= 0) {
            return known;
        }
        if (found.get() != g_own_functions[static_cast<int>(member)]) {
            return 0;
        }
    }
    for (int i = 0; i < 3; ++i) {
        Ref found;
        const int known = class_attribute(type, state_name(i), &found);
        if (known <= 0 || found) {
            return known < 0 ? -1 : 0;
        }
    }
    // Comparing keys may have run Python code that changed the class: the
    // answer holds for the class only as it was when the walk started.
    if (version_tag(type) != tag) {
        return 0;
    }
    remember_plain(tag);
    return 1;
}

// An instance __dict__ larger than this is not examined key by key.
constexpr Py_ssize_t kMostExaminedEntries = 16;

constexpr int kOtherName = -1;
constexpr int kMemberName = 3;

// Which name an exact-str __dict__ key other than the interned state names
// is: 0 to 2 a state attribute, kMemberName a member called through the
// instance, kOtherName neither. Compares characters only: no Python code runs.
int examined_name(PyObject* key) {
    for (Member member : kCalledThroughInstance) {
        if (key == member_name(member)) {
            return kMemberName;
        }
    }
    // Not one of the interned names by identity; it may still be equal.
    for (int i = 0; i < 3; ++i) {
        if (str_equal(key, state_name(i))) {
            return i;
        }
    }
    for (Member member : kCalledThroughInstance) {
        if (str_equal(key, member_name(member))) {
            return kMemberName;
        }
    }
    return kOtherName;
}

}  // namespace

int init_names() {
#define CORVANE_INTERN_NAME(name)         \
    if (intern(&names.name, #name) < 0) { \
        return -1;                        \
    }
    CORVANE_NAMES(CORVANE_INTERN_NAME)
#undef CORVANE_INTERN_NAME
    if (intern(&names.empty, "") < 0 || intern(&names.newline, "\n") < 0 ||
        intern(&names.heading_mark, "__ ") < 0 || intern(&names.leaf_mark, " = ") < 0 ||
        intern(&names.slash, "/") < 0 ||
        intern(&names.not_found_prefix, "Plugin data not found for (") < 0 ||
        intern(&names.not_found_type, "), type: ") < 0 || intern(&names.blank, " ") < 0 ||
        intern(&names.dot, ".") < 0 || intern(&names.plugins_infix, ".plugins.") < 0 ||
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

int attach_module(PyObject* module) {
    Py_XSETREF(g_module, Py_NewRef(module));
    Py_XSETREF(g_namespace, Py_XNewRef(PyModule_GetDict(module)));
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) {
        return -1;
    }
    Py_XSETREF(g_sys_dict, Py_XNewRef(PyModule_GetDict(sys.get())));
    return 0;
}

void attach_member(Member member, PyObject* function) {
    Py_XSETREF(g_own_functions[static_cast<int>(member)], Py_NewRef(function));
}

void attach_getfile(PyObject* getfile) {
    Py_XSETREF(g_getfile, Py_XNewRef(getfile));
}

void detach_module() {
    for (PyObject*& function : g_own_functions) {
        Py_CLEAR(function);
    }
    for (unsigned int& tag : g_plain_tags) {
        tag = 0;
    }
    Py_CLEAR(g_getfile);
    Py_CLEAR(g_sys_dict);
    Py_CLEAR(g_namespace);
    Py_CLEAR(g_module);
}

Ref sys_modules() {
    Ref modules;
    if (g_sys_dict != nullptr) {
        const Ref sys_dict = Ref::borrow(g_sys_dict);
        if (dict_get(sys_dict.get(), names.modules, &modules) < 0) {
            PyErr_Clear();
        }
    }
    return modules;
}

bool is_standard_getfile(PyObject* function) {
    return function != nullptr && function == g_getfile;
}

Ref global(PyObject* name) {
    Ref value;
    if (g_namespace != nullptr) {
        const Ref ns = Ref::borrow(g_namespace);
        if (dict_get(ns.get(), name, &value) != 0) {
            return value;
        }
    }
    const Ref builtins = Ref::borrow(PyEval_GetBuiltins());
    const int found = builtins ? dict_get(builtins.get(), name, &value) : 0;
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

int pending_error_matches(PyObject* name) {
    Ref error = take_error();
    Ref handler = global(name);
    if (!handler) {
        // The failed lookup raises, as the `except` clause would, while the
        // first error is being handled.
        Ref lookup_error = take_error();
        PyException_SetContext(lookup_error.get(), error.release());
        restore_error(std::move(lookup_error));
        return -1;
    }
    restore_error(std::move(error));
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

int Instance::examine() {
    examined_ = false;
    own_ = 0;
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        examined_ = true;
        return 0;
    }
    const unsigned int tag = version_tag(type);
    if (tag == 0 || !remembered_plain(tag)) {
        const Ref hold_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
        const int plain = plain_class(type);
        if (plain <= 0 || Py_TYPE(self_) != type) {
            // Looking at the class may have run code that changed the
            // instance's class: then it is not the class that was looked at.
            examined_ = plain >= 0;
            return plain < 0 ? -1 : 0;
        }
    }
    const Ref dict = Ref::steal(PyObject_GenericGetDict(self_, nullptr));
    if (!dict) {
        return -1;
    }
    examined_ = true;
    if (!PyDict_Check(dict.get()) || PyDict_GET_SIZE(dict.get()) > kMostExaminedEntries) {
        return 0;
    }
    // Nothing below runs Python code, so what is read stays valid.
    PyObject* found[3] = {};
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // As many entries as the dict holds: no call to learn that it has no more.
    for (Py_ssize_t left = PyDict_GET_SIZE(dict.get());
         left > 0 && PyDict_Next(dict.get(), &position, &key, &value); --left) {
        int index;
        if (key == names._plugins) {
            index = 0;
        } else if (key == names.supported_os) {
            index = 1;
        } else if (key == names.chassis_type_list) {
            index = 2;
        } else if (!PyUnicode_CheckExact(key)) {
            return 0;
        } else {
            index = examined_name(key);
        }
        if (index == kMemberName) {
            return 0;
        }
        if (index != kOtherName) {
            found[index] = value;
        }
    }
    if (found[0] == nullptr || found[1] == nullptr || found[2] == nullptr) {
        return 0;
    }
    for (int i = 0; i < 3; ++i) {
        state_[i].reset(Py_NewRef(found[i]));
    }
    own_ = 1;
    return 1;
}

Ref Instance::state(State which) {
    const int own = this->own();
    if (own < 0) {
        return Ref();
    }
    const int index = static_cast<int>(which);
    if (own) {
        return Ref::borrow(state_[index].get());
    }
    python_may_have_run();
    return Ref::steal(PyObject_GetAttr(self_, state_name(index)));
}

Ref Instance::call(Member member, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    python_may_have_run();
    const Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    // Room for `self` in front, and the slot before it that
    // PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow.
    PyObject* stack[2 + kMaxParams];
    if (total >= kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for a member call");
        return Ref();
    }
    stack[0] = nullptr;
    stack[1] = self_;
    for (Py_ssize_t i = 0; i < total; ++i) {
        stack[2 + i] = args[i];
    }
    return Ref::steal(PyObject_VectorcallMethod(
        member_name(member), stack + 1,
        static_cast<size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

int node_lookup_general(PyObject* mapping, PyObject* key, Ref* value) {
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

Ref item(PyObject* mapping, PyObject* key) {
    if (!PyDict_CheckExact(mapping)) {
        return Ref::steal(PyObject_GetItem(mapping, key));
    }
    Ref value;
    if (dict_get(mapping, key, &value) == 0) {
        Ref args = Ref::steal(PyTuple_Pack(1, key));
        if (args) {
            PyErr_SetObject(PyExc_KeyError, args.get());
        }
    }
    return value;
}

int node_contains(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        return PyDict_Contains(mapping, key);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(mapping, names.keys));
    return keys ? PySequence_Contains(keys.get(), key) : -1;
}

Ref import_module_level(const char* name, PyObject* fromlist, int level) {
    const Ref ns = Ref::borrow(g_namespace);
    return Ref::steal(PyImport_ImportModuleLevel(name, ns.get(), nullptr, fromlist, level));
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
