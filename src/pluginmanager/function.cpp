// The function type of PluginManager's members.
//
// A call binds its arguments at once when they are the usual ones: by
// position, or by keyword under the parameter's own interned name, with
// defaults for the rest. Every other call is bound by CPython itself,
// through a `def` with the member's signature (its binder): whatever binds
// for a `def` binds here, and what does not raises the TypeError a `def`
// raises, in the words of the running version.
#include "function.hpp"

#include <cstddef>

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
    PyObject* binder;  // the `def` that binds what does not bind at once; made when needed
    PyObject* param_names[kMaxParams];
    int first_default;  // index of the first parameter with a default
    int first_keyword;  // index of the first parameter a keyword may name
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

// The text of a parameter's default, as Python writes it.
const char* default_text(Default value) {
    switch (value) {
        case Default::none:
            return "=None";
        case Default::single_rp:
            return "='single_rp'";
        case Default::plugin:
            return "='plugin'";
        case Default::required:
            break;
    }
    return "";
}

// A member's parameters as a `def` writes them, `self` written as
// `self_text`: "self, /, os=None, ..., chassis_type='single_rp'". With
// `arguments` set, the names only, each followed by a comma: "self, os, ...,".
Ref parameter_list(const MemberSpec& spec, const char* self_text, bool arguments = false) {
    Ref parts = Ref::steal(PyList_New(0));
    for (int i = 0; parts && i < spec.nparams; ++i) {
        const Param& param = spec.params[i];
        const bool self = i == 0 && spec.kind != Kind::static_method && !arguments;
        Ref part = self        ? Ref::steal(PyUnicode_FromString(self_text))
                   : arguments ? Ref::steal(PyUnicode_FromFormat("%s,", param.name))
                               : Ref::steal(PyUnicode_FromFormat(
                                     "%s%s", param.name, default_text(param.default_value)));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return Ref();
        }
    }
    Ref separator = parts ? Ref::steal(PyUnicode_FromString(arguments ? " " : ", ")) : Ref();
    return separator ? Ref::steal(PyUnicode_Join(separator.get(), parts.get())) : Ref();
}

// "($self, /, os=None, chassis_type='single_rp')", the form inspect parses.
Ref text_signature(const MemberSpec& spec) {
    Ref parameters = parameter_list(spec, "$self, /");
    return parameters ? Ref::steal(PyUnicode_FromFormat("(%U)", parameters.get())) : Ref();
}

// A member's binder, compiled from its spec:
//
//     class PluginManager:
//         def get_plugin(self, /, os=None, ..., chassis_type='single_rp'):
//             return (self, os, ..., chassis_type,)
//     binder = PluginManager.__dict__["get_plugin"]
Ref make_binder(const MemberSpec& spec, PyObject* name) {
    Ref signature = parameter_list(spec, "self, /");
    Ref bound = signature ? parameter_list(spec, "", true) : Ref();
    Ref source = bound ? Ref::steal(PyUnicode_FromFormat("class PluginManager:\n"
                                                         "    def %U(%U):\n"
                                                         "        return (%U)\n"
                                                         "binder = PluginManager.__dict__[%R]\n",
                                                         name, signature.get(), bound.get(), name))
                       : Ref();
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    Ref code = text ? Ref::steal(Py_CompileString(text, texts::kModuleName, Py_file_input)) : Ref();
    Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
    Ref module_name = globals ? Ref::steal(PyUnicode_FromString(texts::kModuleName)) : Ref();
    if (!module_name || PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        return Ref();
    }
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    Ref key = done ? Ref::steal(PyUnicode_FromString("binder")) : Ref();
    Ref binder;
    if (!key || dict_get(globals.get(), key.get(), &binder) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "no binder was made for %U", name);
        }
        return Ref();
    }
    return binder;
}

// Any other call is bound by CPython itself: the member's binder, a `def`
// with its parameters, defaults and qualified name, takes the arguments and
// gives them back bound, or raises the TypeError a `def` raises. The binder
// is made the first time it is needed: compiling it costs more than all the
// rest of the module's import.
PyObject* bind_as_a_def(NativeFunction* f, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    PyObject* function = reinterpret_cast<PyObject*>(f);
    Ref binder = locked(function, [&] { return Ref::borrow(f->binder); });
    if (!binder) {
        binder = make_binder(*f->spec, f->name);
        if (!binder) {
            return nullptr;
        }
        // Another thread may have made one meanwhile: the first one made serves.
        binder = locked(function, [&] {
            if (f->binder == nullptr) {
                f->binder = Py_NewRef(binder.get());
            }
            return Ref::borrow(f->binder);
        });
    }
    const Ref bound = Ref::steal(PyObject_Vectorcall(binder.get(), args, nargsf, kwnames));
    if (!bound) {
        return nullptr;
    }
    if (!PyTuple_CheckExact(bound.get()) || PyTuple_GET_SIZE(bound.get()) != f->spec->nparams) {
        PyErr_Format(PyExc_SystemError, "the binder of %U gave no arguments", f->qualname);
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

Ref default_object(Default value) {
    switch (value) {
        case Default::single_rp:
            return Ref::steal(PyUnicode_InternFromString("single_rp"));
        case Default::plugin:
            return Ref::steal(PyUnicode_InternFromString("plugin"));
        case Default::none:
        case Default::required:
            break;
    }
    return Ref::borrow(Py_None);
}

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

Ref make_function(const MemberSpec& spec, const char* name, PyObject* module_name) {
    Ref object =
        Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(NativeFunction, function_type)));
    if (!object) {
        return object;
    }
    NativeFunction* f = as_function(object.get());
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = f->qualname = f->doc = f->defaults = f->text_signature = nullptr;
    f->binder = nullptr;
    f->weakrefs = nullptr;
    f->module = Py_NewRef(module_name);
    for (PyObject*& name : f->param_names) {
        name = nullptr;
    }
    for (PyObject*& name : f->keyword_names) {
        name = nullptr;
    }
    f->first_default = spec.nparams;
    f->first_keyword = spec.kind != Kind::static_method && spec.nparams > 0 ? 1 : 0;
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
        if (i >= f->first_keyword) {
            size_t slot = keyword_slot(f->param_names[i]);
            while (f->keyword_names[slot] != nullptr) {
                slot = (slot + 1) & (kKeywordSlots - 1);
            }
            f->keyword_names[slot] = f->param_names[i];
            f->keyword_params[slot] = static_cast<signed char>(i);
        }
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
            Ref value = default_object(spec.params[f->first_default + i].default_value);
            if (!value) {
                return Ref();
            }
            PyTuple_SET_ITEM(f->defaults, i, value.release());
        }
    }
    return object;
}

}  // namespace corvane
