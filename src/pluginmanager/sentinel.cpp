// The sentinel of a test build: a C profile function sees every Python frame
// start on the thread it is armed on, and reports each one that starts while
// a call of the module is on its fast path.
//
//     from corvane.core.pluginmanager import _sentinel
//     _sentinel.arm()          # watch this thread
//     ...                      # calls of the module
//     _sentinel.take()         # the reports since the last take(), a list of str
//     _sentinel.plant("truth") # the step "truth" stays on the fast path wrongly
//     _sentinel.disarm()
//
// Python code that the cyclic collector runs (a finaliser of unrelated
// garbage) is not the call's: the collector may start at any allocation, on
// any path, so it is left out.
#include "sentinel.hpp"

#ifdef CORVANE_SENTINEL

#include <cstring>

#include "compat.hpp"

namespace corvane::sentinel {
namespace {

thread_local int t_fast_calls = 0;
thread_local const char* t_step = "(no step yet)";
thread_local bool t_collecting = false;

PyObject* g_reports = nullptr;  // list of str
PyObject* g_planted = nullptr;  // str, or nullptr

int profile(PyObject*, PyFrameObject* frame, int what, PyObject*) {
    if (what != PyTrace_CALL || t_fast_calls == 0 || t_collecting || g_reports == nullptr) {
        return 0;
    }
    Ref pending = take_error();
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    Ref name = code ? Ref::steal(PyObject_GetAttrString(code.get(), "co_qualname")) : Ref();
    Ref report = name ? Ref::steal(PyUnicode_FromFormat(
                            "step %s: Python code %S started on the fast path", t_step, name.get()))
                      : Ref();
    if (!report || PyList_Append(g_reports, report.get()) < 0) {
        PyErr_WriteUnraisable(nullptr);
    }
    restore_error(std::move(pending));
    return 0;
}

PyObject* arm(PyObject*, PyObject*) {
    PyEval_SetProfile(profile, nullptr);
    Py_RETURN_NONE;
}

PyObject* disarm(PyObject*, PyObject*) {
    PyEval_SetProfile(nullptr, nullptr);
    Py_RETURN_NONE;
}

PyObject* take(PyObject*, PyObject*) {
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) {
        return nullptr;
    }
    PyObject* taken = g_reports;
    g_reports = fresh;
    return taken;
}

PyObject* plant(PyObject*, PyObject* step) {
    if (step != Py_None && !PyUnicode_Check(step)) {
        PyErr_SetString(PyExc_TypeError, "plant() takes a step name or None");
        return nullptr;
    }
    Py_XSETREF(g_planted, step == Py_None ? nullptr : Py_NewRef(step));
    Py_RETURN_NONE;
}

// gc.callbacks entry: marks the collector's work on this thread.
PyObject* collector_phase(PyObject*, PyObject* args) {
    PyObject* phase = nullptr;
    PyObject* info = nullptr;
    if (!PyArg_UnpackTuple(args, "collector_phase", 2, 2, &phase, &info)) {
        return nullptr;
    }
    t_collecting = PyUnicode_Check(phase) && PyUnicode_CompareWithASCIIString(phase, "start") == 0;
    Py_RETURN_NONE;
}

PyMethodDef sentinel_methods[] = {
    {"arm", arm, METH_NOARGS, "Watch the calling thread."},
    {"disarm", disarm, METH_NOARGS, "Stop watching the calling thread."},
    {"take", take, METH_NOARGS, "The reports since the last take()."},
    {"plant", plant, METH_O, "Keep the named step on the fast path (None: no plant)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef collector_method = {"collector_phase", collector_phase, METH_VARARGS, nullptr};

}  // namespace

void enter_fast() noexcept {
    ++t_fast_calls;
}

void leave_fast() noexcept {
    --t_fast_calls;
}

void step(const char* name) noexcept {
    t_step = name;
}

bool planted(const char* name) noexcept {
    if (g_planted == nullptr) {
        return false;
    }
    const char* text = PyUnicode_AsUTF8(g_planted);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(text, name) == 0;
}

int attach(PyObject* module) {
    if (g_reports == nullptr) {
        g_reports = PyList_New(0);
        if (g_reports == nullptr) {
            return -1;
        }
    }
    Ref watch = Ref::steal(PyModule_New("corvane.core.pluginmanager._sentinel"));
    if (!watch || PyModule_AddFunctions(watch.get(), sentinel_methods) < 0 ||
        PyObject_SetAttrString(module, "_sentinel", watch.get()) < 0) {
        return -1;
    }
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    Ref callbacks = gc ? Ref::steal(PyObject_GetAttrString(gc.get(), "callbacks")) : Ref();
    Ref marker = callbacks ? Ref::steal(PyCFunction_New(&collector_method, nullptr)) : Ref();
    return marker ? PyList_Append(callbacks.get(), marker.get()) : -1;
}

}  // namespace corvane::sentinel

#endif
