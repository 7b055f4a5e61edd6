#include "names.hpp"

#include <initializer_list>

namespace corvane {

Names names;

namespace {

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

}  // namespace corvane
