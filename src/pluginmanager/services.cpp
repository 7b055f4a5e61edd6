#include "services.hpp"

namespace corvane {
namespace {

// Set while the module initialises, released when the interpreter that
// imported it finalises.
PyObject* g_module = nullptr;
PyObject* g_namespace = nullptr;
PyObject* g_builtins = nullptr;

}  // namespace

int attach_module(PyObject* module) {
    Py_XSETREF(g_module, Py_NewRef(module));
    Py_XSETREF(g_namespace, Py_XNewRef(PyModule_GetDict(module)));
    Py_XSETREF(g_builtins, Py_XNewRef(PyEval_GetBuiltins()));
    if (g_builtins == nullptr) {
        PyErr_SetString(PyExc_ImportError, texts::kNoBuiltins);
        return -1;
    }
    return 0;
}

void detach_module() {
    Py_CLEAR(g_builtins);
    Py_CLEAR(g_namespace);
    Py_CLEAR(g_module);
}

bool module_kept() noexcept {
    return g_module != nullptr || g_namespace != nullptr || g_builtins != nullptr;
}

int check_attached() noexcept {
    if (g_namespace != nullptr) {
        return 0;
    }
    PyErr_SetString(PyExc_RuntimeError, texts::kFinalised);
    return -1;
}

Ref module_builtin(PyObject* name) {
    Ref value;
    const Ref builtins = Ref::borrow(g_builtins);
    const int found = builtins ? dict_get(builtins.get(), name, &value) : 0;
    if (found == 0) {
        PyErr_Format(PyExc_NameError, texts::kNameNotDefined, name);
    }
    return value;
}

Ref global(PyObject* name) {
    Ref value;
    if (g_namespace != nullptr) {
        const Ref ns = Ref::borrow(g_namespace);
        if (dict_get(ns.get(), name, &value) != 0) {
            return value;
        }
    }
    return module_builtin(name);
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

PyObject* raise_instance_of(PyObject* error_class, PyObject* message) {
    Ref error = Ref::steal(PyObject_CallOneArg(error_class, message));
    if (!error) {
        return nullptr;
    }
    // An instance is raised as it is, a class is instantiated, anything else
    // is refused as `raise` refuses it.
    if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    } else if (PyExceptionClass_Check(error.get())) {
        PyErr_SetNone(error.get());
    } else {
        PyErr_SetString(PyExc_TypeError, texts::kNotAnException);
    }
    return nullptr;
}

PyObject* raise_connection_error(PyObject* message) {
    return raise_connection_error([&] { return Ref::borrow(message); });
}

Ref own_definitions(const char* source) {
    Ref code = Ref::steal(Py_CompileString(source, texts::kModuleName, Py_file_input));
    Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
    Ref builtins = globals ? Ref::steal(PyDict_New()) : Ref();
    Ref module_name = builtins ? Ref::steal(PyUnicode_FromString(texts::kModuleName)) : Ref();
    if (!module_name || PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) {
        return Ref();
    }
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    return done ? std::move(globals) : Ref();
}

Ref own_definition(PyObject* definitions, const char* name) {
    PyObject* function = PyDict_GetItemString(definitions, name);
    if (function == nullptr) {
        PyErr_Format(PyExc_SystemError, texts::kNotDefined, name);
    }
    return Ref::borrow(function);
}

Ref import_module_level(const char* name, PyObject* fromlist, int level) {
    const Ref ns = Ref::borrow(g_namespace);
    return Ref::steal(PyImport_ImportModuleLevel(name, ns.get(), nullptr, fromlist, level));
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, texts::kCannotImportName, name);
    }
    return value;
}

}  // namespace corvane
