// The function type of PluginManager's members.
//
// Binding follows CPython's own rules for a `def` with a positional-only
// `self`: positional arguments first, then keywords (unexpected keyword,
// multiple values), then the positional count, then defaults and missing
// arguments, with Python's wording for each TypeError.
#include "function.hpp"

#include <cstddef>

#include "compat.hpp"
#include "inert.hpp"
#include "text.hpp"

namespace corvane {
namespace {

struct NativeFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MemberSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple, or nullptr when no parameter has one
    PyObject* text_signature;
    PyObject* param_names[kMaxParams];
    int first_default;  // index of the first parameter with a default
    // How the keywords of the last call that passed them were bound: the
    // parameter of each. A call site passes its names in the same order
    // every time, interned, so the next call binds when each of its names
    // is the very parameter name recorded here. Nothing of the call is kept.
    Py_ssize_t known_count;
    signed char known_slots[kMaxParams];
    PyObject* weakrefs;  // weak references to this function
};

PyTypeObject* function_type = nullptr;

NativeFunction* as_function(PyObject* object) {
    return reinterpret_cast<NativeFunction*>(object);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
Ref join_names(PyObject* const* names, int count) {
    Text text;
    for (int i = 0; i < count; ++i) {
        if (i > 0 &&
            text.append_ascii_text(count == 2 ? " and " : (i == count - 1 ? ", and " : ", ")) < 0) {
            return Ref();
        }
        if (text.append_ascii("'") < 0 || text.append(names[i]) < 0 || text.append_ascii("'") < 0) {
            return Ref();
        }
    }
    return text.finish();
}

PyObject* too_many_positional(const NativeFunction* f, Py_ssize_t given) {
    const int nparams = f->spec->nparams;
    Ref sig = f->defaults
                  ? Ref::steal(PyUnicode_FromFormat("from %d to %d", f->first_default, nparams))
                  : Ref::steal(PyUnicode_FromFormat("%d", nparams));
    if (!sig) {
        return nullptr;
    }
    const bool plural = f->defaults != nullptr || nparams != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 f->qualname, sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
    return nullptr;
}

PyObject* missing_arguments(const NativeFunction* f, PyObject* const* slots) {
    PyObject* missing[kMaxParams];
    int count = 0;
    for (int i = 0; i < f->spec->nparams; ++i) {
        if (slots[i] == nullptr) {
            missing[count++] = f->param_names[i];
        }
    }
    Ref names = join_names(missing, count);
    if (!names) {
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %U", f->qualname,
                 count, count == 1 ? "" : "s", names.get());
    return nullptr;
}

// Index of the parameter named `keyword` among those from `first` on, as
// Python matches keywords: by identity (names arrive interned), then by
// `keyword == name`, which a str subclass may answer itself. -1 when none
// matches, -2 on error.
int find_param(const NativeFunction* f, PyObject* keyword, int first) {
    for (int i = first; i < f->spec->nparams; ++i) {
        if (f->param_names[i] == keyword) {
            return i;
        }
    }
    for (int i = first; i < f->spec->nparams; ++i) {
        if (PyUnicode_CheckExact(keyword)) {
            if (str_equal(keyword, f->param_names[i])) {
                return i;
            }
            continue;
        }
        const int equal = PyObject_RichCompareBool(keyword, f->param_names[i], Py_EQ);
        if (equal != 0) {
            return equal < 0 ? -2 : i;
        }
    }
    return -1;
}

// Binds the keyword arguments to `slots` (positional ones already there),
// raising Python's TypeErrors, and records the binding for the next call.
int bind_keywords(NativeFunction* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** slots) {
    const int positional_only = f->spec->is_method ? 1 : 0;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    // A recorded binding that stopped half way left some keyword values here.
    for (int i = static_cast<int>(nargs); i < f->spec->nparams; ++i) {
        slots[i] = nullptr;
    }
    signed char bound_slots[kMaxParams];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const int index = find_param(f, keyword, positional_only);
        if (index == -2) {
            return -1;
        }
        if (index < 0) {
            const int named_positional = positional_only ? find_param(f, keyword, 0) : -1;
            if (named_positional == -2) {
                return -1;
            }
            if (named_positional >= 0) {
                PyErr_Format(PyExc_TypeError,
                             "%U() got some positional-only arguments passed as keyword "
                             "arguments: '%U'",
                             f->qualname, f->param_names[named_positional]);
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             f->qualname, keyword);
            }
            return -1;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         keyword);
            return -1;
        }
        slots[index] = args[nargs + k];
        bound_slots[k] = static_cast<signed char>(index);
    }
    // Every name is a distinct parameter, so there are at most nparams.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        f->known_slots[k] = bound_slots[k];
    }
    f->known_count = nkw;
    return 0;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    NativeFunction* f = as_function(callable);
    const int nparams = f->spec->nparams;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) {
        slots[i] = args[i];
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        bool bound = nkw == f->known_count;
        for (Py_ssize_t k = 0; bound && k < nkw; ++k) {
            const int index = f->known_slots[k];
            // The very parameter name object, not given by position too:
            // anything else, the general loop binds (and words the error).
            bound =
                PyTuple_GET_ITEM(kwnames, k) == f->param_names[index] && slots[index] == nullptr;
            if (bound) {
                slots[index] = args[nargs + k];
            }
        }
        if (!bound && bind_keywords(f, args, nargs, kwnames, slots) < 0) {
            return nullptr;
        }
    }
    if (nargs > nparams) {
        return too_many_positional(f, nargs);
    }
    bool complete = true;
    for (int i = 0; i < nparams; ++i) {
        if (slots[i] == nullptr) {
            if (f->defaults != nullptr && i >= f->first_default) {
                slots[i] = PyTuple_GET_ITEM(f->defaults, i - f->first_default);
            } else {
                complete = false;
            }
        }
    }
    if (!complete) {
        return missing_arguments(f, slots);
    }
    return f->spec->entry(slots);
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

// "($self, /, os=None, chassis_type='single_rp')", the form inspect parses.
Ref text_signature(const MemberSpec& spec) {
    Text text;
    int failed = text.append_ascii("(");
    for (int i = 0; i < spec.nparams && failed == 0; ++i) {
        const Param& param = spec.params[i];
        if (i == 0 && spec.is_method) {
            failed = text.append_ascii_text(spec.nparams > 1 ? "$self, /, " : "$self, /");
            continue;
        }
        const char* default_text = "";
        switch (param.default_value) {
            case Default::required:
                break;
            case Default::none:
                default_text = "=None";
                break;
            case Default::single_rp:
                default_text = "='single_rp'";
                break;
            case Default::plugin:
                default_text = "='plugin'";
                break;
        }
        failed = text.append_ascii_text(param.name) < 0 ||
                 text.append_ascii_text(default_text) < 0 ||
                 (i + 1 < spec.nparams && text.append_ascii(", ") < 0);
    }
    return failed == 0 && text.append_ascii(")") == 0 ? text.finish() : Ref();
}

}  // namespace

int function_type_ready() {
    if (function_type != nullptr) {
        return 0;
    }
    function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return function_type != nullptr ? 0 : -1;
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
    f->known_count = -1;
    f->weakrefs = nullptr;
    f->module = Py_NewRef(module_name);
    for (PyObject*& name : f->param_names) {
        name = nullptr;
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
