// The function type of PluginManager's members.
//
// A call binds its arguments at once when they are the usual ones: by
// position, or by keyword under the parameter's own interned name, with
// defaults for the rest. Every other call is bound by CPython itself,
// through a Python function with the member's signature (its binder):
// whatever binds for a `def` binds here, and what does not raises the
// TypeError a `def` raises, in the words of the running version.
#include "function.hpp"

#include <cstddef>
#include <cstdio>

#include "services.hpp"

namespace corvane {
namespace {

// Room for the binding template: a power of two, more than twice kMaxParams.
constexpr size_t kKeywordSlots = 16;

size_t keyword_slot(PyObject* name) {
    return (reinterpret_cast<uintptr_t>(name) >> 4) & (kKeywordSlots - 1);
}

struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MemberSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple, or nullptr when no parameter has one
    PyObject* text_signature;
    PyObject* binder;  // binds what does not bind at once (FunctionFactory)
    PyObject* owner;   // a weak reference to the class, or nullptr
    PyObject* param_names[kMaxParams];
    int first_default;  // index of the first parameter with a default
    // The binding template: the parameters a keyword may name, by the
    // address of their interned names (call sites pass interned names), in
    // a table made with the function and never changed.
    PyObject* keyword_names[kKeywordSlots];
    signed char keyword_params[kKeywordSlots];
    PyObject* weakrefs;  // weak references to this function
};

PyTypeObject* function_type = nullptr;

NativeFunction* as_function(PyObject* object) {
    return reinterpret_cast<NativeFunction*>(object);
}

// The parameter a keyword names when it is the parameter's own interned
// name; -1 otherwise.
int template_param(const NativeFunction* f, PyObject* keyword) {
    for (size_t i = keyword_slot(keyword); f->keyword_names[i] != nullptr;
         i = (i + 1) & (kKeywordSlots - 1)) {
        if (f->keyword_names[i] == keyword) {
            return f->keyword_params[i];
        }
    }
    return -1;
}

// Binds the arguments of a call to `slots` when they bind at once: every
// keyword a parameter's own interned name (as call sites pass them), no
// parameter given twice, none missing. False when they do not.
CORVANE_ALWAYS_INLINE bool bind_at_once(const NativeFunction* f, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const int nparams = f->spec->nparams;
    if (nargs > nparams) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            const int index = template_param(f, PyTuple_GET_ITEM(kwnames, k));
            if (index < 0 || slots[index] != nullptr) {
                return false;
            }
            slots[index] = args[nargs + k];
        }
    }
    for (int i = static_cast<int>(nargs); i < nparams; ++i) {
        if (slots[i] == nullptr) {
            if (i < f->first_default) {
                return false;
            }
            slots[i] = PyTuple_GET_ITEM(f->defaults, i - f->first_default);
        }
    }
    return true;
}

// The value of a parameter's default, borrowed: the interned texts are the
// defaults' one home.
PyObject* default_object(Default value) {
    switch (value) {
        case Default::default_chassis_type:
            return names.default_chassis_type;
        case Default::default_output:
            return names.default_output;
        case Default::none:
        case Default::required:
            break;
    }
    return Py_None;
}

// "(self, os=None, ..., chassis_type='single_rp')", the form inspect parses:
// the parameters as a `def` writes them, defaults by their repr.
Ref text_signature(const MemberSpec& spec) {
    Ref parts = Ref::steal(PyList_New(0));
    for (int i = 0; parts && i < spec.nparams; ++i) {
        const Param& param = spec.params[i];
        Ref part = param.default_value == Default::required
                       ? Ref::steal(PyUnicode_FromString(param.name))
                       : Ref::steal(PyUnicode_FromFormat("%s=%R", param.name,
                                                         default_object(param.default_value)));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return Ref();
        }
    }
    Ref separator = parts ? Ref::steal(PyUnicode_FromString(", ")) : Ref();
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), parts.get())) : Ref();
    return joined ? Ref::steal(PyUnicode_FromFormat("(%U)", joined.get())) : Ref();
}

// Any other call is bound by CPython itself: the member's binder, a Python
// function with its parameters, defaults and qualified name, takes the
// arguments and gives them back bound, or raises the TypeError a `def`
// raises.
PyObject* bind_as_a_def(NativeFunction* f, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    const Ref bound = Ref::steal(PyObject_Vectorcall(f->binder, args, nargsf, kwnames));
    if (!bound) {
        return nullptr;
    }
    if (!PyTuple_CheckExact(bound.get()) || PyTuple_GET_SIZE(bound.get()) != f->spec->nparams) {
        PyErr_Format(PyExc_SystemError, texts::kBinderResult, f->qualname, f->spec->nparams);
        return nullptr;
    }
    PyObject* slots[kMaxParams] = {};
    for (int i = 0; i < f->spec->nparams; ++i) {
        slots[i] = PyTuple_GET_ITEM(bound.get(), i);
    }
    return f->spec->entry(slots, false);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    // The one way in from Python code: every member, property accessor and
    // __repr__ is one of these functions.
    if (check_stack() < 0 || check_attached() < 0) {
        return nullptr;
    }
    NativeFunction* f = as_function(callable);
    PyObject* slots[kMaxParams] = {};
    if (bind_at_once(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) {
        return f->spec->entry(slots, true);
    }
    return bind_as_a_def(f, args, nargsf, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

void function_dealloc(PyObject* self) {
    NativeFunction* f = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    if (f->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->text_signature);
    Py_XDECREF(f->binder);
    Py_XDECREF(f->owner);
    for (PyObject* name : f->param_names) {
        Py_XDECREF(name);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* or_none(PyObject* object) {
    return Py_NewRef(object != nullptr ? object : Py_None);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->name);
}
PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->qualname);
}
PyObject* get_module(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->module);
}
PyObject* get_doc(PyObject* self, void*) {
    return or_none(as_function(self)->doc);
}
PyObject* get_defaults(PyObject* self, void*) {
    return or_none(as_function(self)->defaults);
}
PyObject* get_kwdefaults(PyObject*, void*) {
    Py_RETURN_NONE;
}
PyObject* get_text_signature(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->text_signature);
}
// The class whose member the function is, as a method descriptor names it:
// what help() reads to find the docstring a member without one inherits.
PyObject* get_objclass(PyObject* self, void*) {
    PyObject* owner = as_function(self)->owner;
    Ref cls = owner != nullptr ? weakly_held(owner) : Ref();
    if (!cls && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_AttributeError, "__objclass__");
    }
    return cls.release();
}

PyGetSetDef function_getset[] = {
    {.name = "__name__", .get = get_name, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = "__qualname__",
     .get = get_qualname,
     .set = nullptr,
     .doc = nullptr,
     .closure = nullptr},
    {.name = "__module__", .get = get_module, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = "__doc__", .get = get_doc, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = "__defaults__",
     .get = get_defaults,
     .set = nullptr,
     .doc = nullptr,
     .closure = nullptr},
    {.name = "__kwdefaults__",
     .get = get_kwdefaults,
     .set = nullptr,
     .doc = nullptr,
     .closure = nullptr},
    {.name = "__text_signature__",
     .get = get_text_signature,
     .set = nullptr,
     .doc = nullptr,
     .closure = nullptr},
    {.name = "__objclass__",
     .get = get_objclass,
     .set = nullptr,
     .doc = nullptr,
     .closure = nullptr},
    {},
};

PyMemberDef function_members[] = {
    {.name = "__vectorcalloffset__",
     .type = Py_T_PYSSIZET,
     .offset = offsetof(NativeFunction, vectorcall),
     .flags = Py_READONLY,
     .doc = nullptr},
    {.name = "__weaklistoffset__",
     .type = Py_T_PYSSIZET,
     .offset = offsetof(NativeFunction, weakrefs),
     .flags = Py_READONLY,
     .doc = nullptr},
    {},
};

// Pickled by reference, as functions are: the module and qualified name
// (pickle looks __module__ up itself).
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {.ml_name = "__reduce__",
     .ml_meth = function_reduce,
     .ml_flags = METH_NOARGS,
     .ml_doc = nullptr},
    {},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {},
};

PyType_Spec function_spec = {
    .name = "corvane.core.pluginmanager.native_function",
    .basicsize = sizeof(NativeFunction),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

}  // namespace

int function_type_ready() {
    if (function_type != nullptr) {
        return 0;
    }
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr ? 0 : -1;
}

void release_function_type() {
    Py_CLEAR(function_type);
}

bool function_type_kept() noexcept {
    return function_type != nullptr;
}

namespace {

// The binders' code: for every number of parameters a member has, a `def`
// that gives its parameters back,
//
//     def b2(a,b):return(a,b,)
//
// compiled in one source of the module's own (services.hpp), written short:
// parsing it is most of what making the binders costs. A member's binder is
// that code with the member's names (code.replace), made a function in the
// same globals.
constexpr size_t kBinderSource = 48 * (kMaxParams + 1);

int append_binder_source(char* source, size_t* used, int nparams) {
    static_assert(kMaxParams <= 7, "one letter a parameter");
    char parameters[2 * kMaxParams + 1] = "";
    for (int i = 0; i < nparams; ++i) {
        parameters[2 * i] = static_cast<char>('a' + i);
        parameters[2 * i + 1] = ',';
    }
    const int written = std::snprintf(source + *used, kBinderSource - *used,
                                      "def b%d(%s):return(%s)\n", nparams, parameters, parameters);
    if (written < 0 || static_cast<size_t>(written) >= kBinderSource - *used) {
        PyErr_Format(PyExc_SystemError, texts::kNoBinderCode, nparams);
        return -1;
    }
    *used += static_cast<size_t>(written);
    return 0;
}

// The code of a member's binder: the code for its number of parameters,
// named after the member.
Ref member_code(PyObject* code, PyObject* name, PyObject* qualname, PyObject* const* param_names,
                int nparams) {
    Ref varnames = Ref::steal(PyTuple_New(nparams));
    for (int i = 0; varnames && i < nparams; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(param_names[i]));
    }
    Ref changes = varnames ? Ref::steal(PyDict_New()) : Ref();
    if (!changes || PyDict_SetItemString(changes.get(), "co_name", name) < 0 ||
        PyDict_SetItemString(changes.get(), "co_qualname", qualname) < 0 ||
        PyDict_SetItemString(changes.get(), "co_varnames", varnames.get()) < 0) {
        return Ref();
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(code, "replace"));
    Ref no_args = replace ? Ref::steal(PyTuple_New(0)) : Ref();
    return no_args ? Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get())) : Ref();
}

}  // namespace

int FunctionFactory::ready(const MemberSpec* specs, int count, PyObject* module_name) {
    bool wanted[kMaxParams + 1] = {};
    for (int i = 0; i < count; ++i) {
        wanted[specs[i].nparams] = true;
    }
    char source[kBinderSource] = "";
    size_t used = 0;
    for (int nparams = 0; nparams <= kMaxParams; ++nparams) {
        if (wanted[nparams] && append_binder_source(source, &used, nparams) < 0) {
            return -1;
        }
    }
    globals_ = own_definitions(source);
    if (!globals_) {
        return -1;
    }
    for (int nparams = 0; nparams <= kMaxParams; ++nparams) {
        if (!wanted[nparams]) {
            continue;
        }
        char name[32];
        std::snprintf(name, sizeof name, "b%d", nparams);
        const Ref binder = own_definition(globals_.get(), name);
        code_[nparams] =
            binder ? Ref::steal(PyObject_GetAttrString(binder.get(), "__code__")) : Ref();
        if (!code_[nparams]) {
            return -1;
        }
    }
    module_name_ = Ref::borrow(module_name);
    return 0;
}

Ref FunctionFactory::make(const MemberSpec& spec, const char* name) const {
    Ref object =
        Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(NativeFunction, function_type)));
    if (!object) {
        return object;
    }
    NativeFunction* f = as_function(object.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = f->qualname = f->doc = f->defaults = f->text_signature = nullptr;
    f->binder = f->owner = nullptr;
    f->weakrefs = nullptr;
    f->module = Py_NewRef(module_name_.get());
    for (PyObject*& param_name : f->param_names) {
        param_name = nullptr;
    }
    for (PyObject*& keyword : f->keyword_names) {
        keyword = nullptr;
    }
    f->first_default = spec.nparams;
    int ndefaults = 0;
    for (int i = 0; i < spec.nparams; ++i) {
        if (spec.params[i].default_value != Default::required) {
            if (ndefaults == 0) {
                f->first_default = i;
            }
            ++ndefaults;
        }
        f->param_names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (f->param_names[i] == nullptr) {
            return Ref();
        }
        size_t slot = keyword_slot(f->param_names[i]);
        while (f->keyword_names[slot] != nullptr) {
            slot = (slot + 1) & (kKeywordSlots - 1);
        }
        f->keyword_names[slot] = f->param_names[i];
        f->keyword_params[slot] = static_cast<signed char>(i);
    }
    f->name = PyUnicode_InternFromString(name);
    f->qualname = PyUnicode_FromFormat("PluginManager.%s", name);
    f->doc = spec.doc != nullptr ? PyUnicode_FromString(spec.doc) : nullptr;
    f->text_signature = text_signature(spec).release();
    if (f->name == nullptr || f->qualname == nullptr ||
        (spec.doc != nullptr && f->doc == nullptr) || f->text_signature == nullptr) {
        return Ref();
    }
    if (ndefaults > 0) {
        f->defaults = PyTuple_New(ndefaults);
        if (f->defaults == nullptr) {
            return Ref();
        }
        for (int i = 0; i < ndefaults; ++i) {
            PyObject* value = default_object(spec.params[f->first_default + i].default_value);
            PyTuple_SET_ITEM(f->defaults, i, Py_NewRef(value));
        }
    }
    const Ref code =
        member_code(code_[spec.nparams].get(), f->name, f->qualname, f->param_names, spec.nparams);
    const Ref binder = code ? Ref::steal(PyFunction_New(code.get(), globals_.get())) : Ref();
    if (!binder ||
        (f->defaults != nullptr && PyFunction_SetDefaults(binder.get(), f->defaults) < 0)) {
        return Ref();
    }
    f->binder = Py_NewRef(binder.get());
    return object;
}

int set_function_class(PyObject* function, PyObject* cls) {
    NativeFunction* f = as_function(function);
    Py_XSETREF(f->owner, PyWeakref_NewRef(cls, nullptr));
    return f->owner != nullptr ? 0 : -1;
}

}  // namespace corvane
