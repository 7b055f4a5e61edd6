// The sentinel of a test build: a C profile function sees every Python frame
// start on the thread it is armed on, and reports each one that starts while
// a call of the module is on its fast path.
//
//     from corvane.core.pluginmanager import _sentinel
//     _sentinel.steps()          # the step table: (name, kind, proof or what it does)
//     _sentinel.arm()            # watch this thread
//     ...                        # calls of the module
//     _sentinel.take()           # the reports since the last take(), a list of str
//     _sentinel.plant(["truth"]) # these steps stay on the fast path wrongly
//     _sentinel.trip(3, signum)  # signal signum pending at a render's fourth safe point
//     _sentinel.taken("memo")    # how often a choice's fast form was taken
//     _sentinel.disarm()
//
// Code that the cyclic collector runs counts too: no step allocates on the
// fast path where a collection could start (compat.hpp, CollectorPaused).
#include "sentinel.hpp"

#ifdef CORVANE_SENTINEL

#include <cstdint>

#include "compat.hpp"

namespace corvane::sentinel {
namespace {

thread_local int t_fast_calls = 0;
thread_local int t_step = -1;  // none yet

PyObject* g_reports = nullptr;  // list of str
uint64_t g_planted = 0;         // a bit per step
// The safe point a test's signal waits for (-1: none), the signal, and the
// safe points passed since the test asked.
long g_trip_at = -1;
int g_trip_signal = 0;
long g_safe_points = 0;
unsigned long long g_taken[kStepCount] = {};
static_assert(kStepCount <= 64, "a planted step is a bit of g_planted");

int profile(PyObject*, PyFrameObject* frame, int what, PyObject*) {
    if (what != PyTrace_CALL || t_fast_calls == 0 || g_reports == nullptr) {
        return 0;
    }
    Ref pending = take_error();
    const char* step = t_step < 0 ? texts::kSentinelNoStep : kSteps[t_step].name;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    Ref name = code ? Ref::steal(PyObject_GetAttrString(code.get(), "co_qualname")) : Ref();
    Ref report =
        name ? Ref::steal(PyUnicode_FromFormat(texts::kSentinelReport, step, name.get())) : Ref();
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
    PyObject* taken = g_reports != nullptr ? g_reports : PyList_New(0);
    g_reports = fresh;
    return taken;
}

// The index of the step named `name`; -1 with ValueError when none is.
int step_named(PyObject* name) {
    for (int i = 0; PyUnicode_Check(name) && i < kStepCount; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, kSteps[i].name) == 0) {
            return i;
        }
    }
    PyErr_Format(PyExc_ValueError, texts::kSentinelUnknownStep, name);
    return -1;
}

PyObject* plant(PyObject*, PyObject* names) {
    uint64_t planted = 0;
    if (names != Py_None) {
        Ref iterator = Ref::steal(PyObject_GetIter(names));
        if (!iterator) {
            return nullptr;
        }
        while (Ref name = Ref::steal(PyIter_Next(iterator.get()))) {
            const int index = step_named(name.get());
            if (index < 0) {
                return nullptr;
            }
            planted |= uint64_t{1} << index;
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    g_planted = planted;
    Py_RETURN_NONE;
}

PyObject* trip(PyObject*, PyObject* args) {
    long at = -1;
    int signal = 0;
    if (!PyArg_ParseTuple(args, "li", &at, &signal)) {
        return nullptr;
    }
    g_trip_at = at;
    g_trip_signal = signal;
    g_safe_points = 0;
    Py_RETURN_NONE;
}

PyObject* taken(PyObject*, PyObject* name) {
    const int index = step_named(name);
    return index < 0 ? nullptr : PyLong_FromUnsignedLongLong(g_taken[index]);
}

PyObject* steps(PyObject*, PyObject*) {
    static const char* const kinds[] = {"shortcut", "written", "choice"};
    Ref table = Ref::steal(PyList_New(kStepCount));
    for (int i = 0; table && i < kStepCount; ++i) {
        PyObject* row = Py_BuildValue("(sss)", kSteps[i].name,
                                      kinds[static_cast<int>(kSteps[i].kind)], kSteps[i].text);
        if (row == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(table.get(), i, row);
    }
    return table.release();
}

PyMethodDef sentinel_methods[] = {
    {"arm", arm, METH_NOARGS, texts::kSentinelArmDoc},
    {"disarm", disarm, METH_NOARGS, texts::kSentinelDisarmDoc},
    {"take", take, METH_NOARGS, texts::kSentinelTakeDoc},
    {"plant", plant, METH_O, texts::kSentinelPlantDoc},
    {"steps", steps, METH_NOARGS, texts::kSentinelStepsDoc},
    {"taken", taken, METH_O, texts::kSentinelTakenDoc},
    {"trip", trip, METH_VARARGS, texts::kSentinelTripDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void enter_fast() noexcept {
    ++t_fast_calls;
}

void leave_fast() noexcept {
    --t_fast_calls;
}

void step(Step step) noexcept {
    t_step = static_cast<int>(step);
}

void took(Step step) noexcept {
    ++g_taken[static_cast<int>(step)];
}

bool every_safe_point() noexcept {
    return g_trip_at >= 0;
}

void at_safe_point() noexcept {
    if (g_trip_at >= 0 && g_safe_points++ == g_trip_at) {
        g_trip_at = -1;
        PyErr_SetInterruptEx(g_trip_signal);
    }
}

bool planted(Step step) noexcept {
    return (g_planted >> static_cast<int>(step)) & 1;
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
    return 0;
}

void detach() {
    PyEval_SetProfile(nullptr, nullptr);
    Py_CLEAR(g_reports);
    g_planted = 0;
    g_trip_at = -1;
    for (unsigned long long& taken : g_taken) {
        taken = 0;
    }
}

bool kept() noexcept {
    bool kept = g_reports != nullptr || g_planted != 0 || g_trip_at != -1;
    for (unsigned long long taken : g_taken) {
        kept = kept || taken != 0;
    }
    return kept;
}

}  // namespace corvane::sentinel

#endif
