// Python semantics on inert input: objects whose truth, equality, hashing,
// ordering and text no Python code can take part in. None and exact strs
// are inert; so are exact dicts and lists of them, looked into while nothing
// else runs. On such input a step may be answered here directly, in any
// order, since no one can observe the difference.
#pragma once

#include <cstring>

#include "refs.hpp"

namespace corvane {

CORVANE_ALWAYS_INLINE bool inert(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value);
}

// `bool(value)` of an inert value.
CORVANE_ALWAYS_INLINE bool inert_truth(PyObject* value) {
    return value != Py_None && PyUnicode_GET_LENGTH(value) != 0;
}

// Equality of two exact strs, by their characters (a str is stored in the
// narrowest kind that holds it, so strs of different kinds differ).
CORVANE_ALWAYS_INLINE bool str_equal(PyObject* left, PyObject* right) {
    if (left == right) {
        return true;
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    const int kind = PyUnicode_KIND(left);
    if (length != PyUnicode_GET_LENGTH(right) || kind != PyUnicode_KIND(right)) {
        return false;
    }
    const size_t size = static_cast<size_t>(length) * static_cast<size_t>(kind);
    const char* a = static_cast<const char*>(PyUnicode_DATA(left));
    const char* b = static_cast<const char*>(PyUnicode_DATA(right));
    // Names are short: compared in place rather than by a call.
    if (size <= 16) {
        for (size_t i = 0; i < size; ++i) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    }
    return std::memcmp(a, b, size) == 0;
}

// `left == right` for two inert values.
CORVANE_ALWAYS_INLINE bool inert_equal(PyObject* left, PyObject* right) {
    if (left == Py_None || right == Py_None) {
        return left == right;
    }
    return str_equal(left, right);
}

// `value in list` for an exact list and an exact str, when every item that
// the test would compare is an exact str: 1 or 0. -1 when an item of
// another kind would be compared: then only the list can answer.
CORVANE_ALWAYS_INLINE int listed_among_strs(PyObject* list, PyObject* value) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    Py_ssize_t plain = 0;
    // Identity first (names are mostly interned), over the leading exact strs.
    for (; plain < size; ++plain) {
        PyObject* item = PyList_GET_ITEM(list, plain);
        if (item == value) {
            return 1;
        }
        if (!PyUnicode_CheckExact(item)) {
            break;
        }
    }
    for (Py_ssize_t i = 0; i < plain; ++i) {
        if (str_equal(PyList_GET_ITEM(list, i), value)) {
            return 1;
        }
    }
    return plain == size ? 0 : -1;
}

// Whether every key of an exact dict is a str. CPython answers at once for
// a dict whose keys have only ever been exact strs (it keeps such dicts in
// a form of their own) and reads the keys of any other; the test raises
// nothing of its own but the TypeError it reports a non-str key with.
CORVANE_ALWAYS_INLINE bool str_keys_only(PyObject* dict) {
    if (PyArg_ValidateKeywordArguments(dict)) {
        return true;
    }
    PyErr_Clear();
    return false;
}

// `key in node.keys()` and `node[key]` at once, for an exact dict whose keys
// are all strs and an exact-str key: such a lookup compares strs only, and
// runs no Python code. 1 and *value set (borrowed) when present, 0 when
// absent, -1 when the node is not such a dict: the written steps answer.
CORVANE_ALWAYS_INLINE int plain_find(PyObject* node, PyObject* key, PyObject** value) {
    if (!PyDict_CheckExact(node) || !PyUnicode_CheckExact(key) || !str_keys_only(node)) {
        return -1;
    }
    // Hashing and comparing exact strs cannot fail.
    *value = PyDict_GetItemWithError(node, key);
    return *value != nullptr ? 1 : 0;
}

}  // namespace corvane
