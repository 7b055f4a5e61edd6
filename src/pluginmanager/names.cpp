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
#define CORVANE_INTERN_TEXT(field, text)  \
    if (intern(&names.field, text) < 0) { \
        return -1;                        \
    }
    CORVANE_TEXTS(CORVANE_INTERN_TEXT)
#undef CORVANE_INTERN_TEXT
#define CORVANE_MAKE_TUPLE(field, ...)                   \
    if (intern_tuple(&names.field, {__VA_ARGS__}) < 0) { \
        return -1;                                       \
    }
    CORVANE_KWNAMES(CORVANE_MAKE_TUPLE)
#undef CORVANE_MAKE_TUPLE
    for (int i = 0; i < kMemberCount; ++i) {
        if (intern(&names.member[i], kMemberNames[i]) < 0) {
            return -1;
        }
    }
    return 0;
}

bool names_kept() noexcept {
    bool kept = false;
#define CORVANE_KEPT(field, ...) kept = kept || names.field != nullptr;
    CORVANE_NAMES(CORVANE_KEPT)
    CORVANE_TEXTS(CORVANE_KEPT)
    CORVANE_KWNAMES(CORVANE_KEPT)
#undef CORVANE_KEPT
    for (PyObject* name : names.member) {
        kept = kept || name != nullptr;
    }
    return kept;
}

void release_names() {
#define CORVANE_RELEASE(field, ...) Py_CLEAR(names.field);
    CORVANE_NAMES(CORVANE_RELEASE)
    CORVANE_TEXTS(CORVANE_RELEASE)
    CORVANE_KWNAMES(CORVANE_RELEASE)
#undef CORVANE_RELEASE
    for (PyObject*& name : names.member) {
        Py_CLEAR(name);
    }
}

}  // namespace corvane
