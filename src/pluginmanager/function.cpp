// The function type of PluginManager's members.
//
// Binding follows CPython's own rules for a `def` with a positional-only
// `self`: positional arguments first, then keywords (unexpected keyword,
// multiple values), then the positional count, then defaults and missing
// arguments, with Python's wording for each TypeError.
#include "function.hpp"

#include <cstddef>

#include "call.hpp"

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

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing names.
Ref join_names(PyObject* const* names, int count) {
    Ref quoted = Ref::steal(PyList_New(count));
    for (int i = 0; quoted && i < count; ++i) {
        PyObject* name = PyUnicode_FromFormat("'%U'", names[i]);
        if (name == nullptr) {
            return Ref();
        }
        PyList_SET_ITEM(quoted.get(), i, name);
    }
    if (!quoted || count < 2) {
        return count == 1 ? Ref::borrow(PyList_GET_ITEM(quoted.get(), 0)) : std::move(quoted);
    }
    Ref last = Ref::borrow(PyList_GET_ITEM(quoted.get(), count - 1));
    if (count == 2) {
        return Ref::steal(
            PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(quoted.get(), 0), last.get()));
    }
    Ref separator = Ref::steal(PyUnicode_FromString(", "));
    Ref leading = separator && PyList_SetSlice(quoted.get(), count - 1, count, nullptr) == 0
                      ? Ref::steal(PyUnicode_Join(separator.get(), quoted.get()))
                      : Ref();
    return leading ? Ref::steal(PyUnicode_FromFormat("%U, and %U", leading.get(), last.get()))
                   : Ref();
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

// The TypeError of a keyword that names no parameter a keyword may name.
int unexpected_keyword(const NativeFunction* f, PyObject* keyword) {
    const int named_positional = f->first_keyword > 0 ? find_param(f, keyword, 0) : -1;
    if (named_positional == -2) {
        return -1;
    }
    if (named_positional >= 0) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                     f->qualname, f->param_names[named_positional]);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                     keyword);
    }
    return -1;
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

// Binds the keyword arguments to `slots` (positional ones already there),
// raising Python's TypeErrors. A keyword name is looked for in the binding
// template first, then compared with each parameter name.
int bind_keywords(const NativeFunction* f, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int index = template_param(f, keyword);
        if (index < 0) {
            index = find_param(f, keyword, f->first_keyword);
        }
        if (index == -2 || (index < 0 && unexpected_keyword(f, keyword) < 0)) {
            return -1;
        }
        if (slots[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname,
                         keyword);
            return -1;
        }
        slots[index] = args[nargs + k];
    }
    return 0;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    // The one way in from Python code: every member, property accessor and
    // __repr__ is one of these functions.
    if (check_stack() < 0) {
        return nullptr;
    }
    const NativeFunction* f = as_function(callable);
    const int nparams = f->spec->nparams;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) {
        slots[i] = args[i];
    }
    // As Python binds a call: keyword errors come before the count.
    if (kwnames != nullptr && bind_keywords(f, args, nargs, kwnames, slots) < 0) {
        return nullptr;
    }
    if (nargs > nparams) {
        return too_many_positional(f, nargs);
    }
    bool complete = true;
    for (int i = static_cast<int>(nargs); i < nparams; ++i) {
        if (slots[i] == nullptr) {
            if (i >= f->first_default) {
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
    Ref parts = Ref::steal(PyList_New(0));
    for (int i = 0; parts && i < spec.nparams; ++i) {
        const Param& param = spec.params[i];
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
        const bool self = i == 0 && spec.kind != Kind::static_method;
        Ref part = self ? Ref::steal(PyUnicode_FromString("$self, /"))
                        : Ref::steal(PyUnicode_FromFormat("%s%s", param.name, default_text));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return Ref();
        }
    }
    Ref separator = parts ? Ref::steal(PyUnicode_FromString(", ")) : Ref();
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), parts.get())) : Ref();
    return joined ? Ref::steal(PyUnicode_FromFormat("(%U)", joined.get())) : Ref();
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
