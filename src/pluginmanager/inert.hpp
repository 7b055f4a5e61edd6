// Python semantics on inert input: objects whose truth, equality, hashing,
// ordering and text no Python code can take part in. None and exact strs
// are inert; so are exact dicts and lists of them, looked into while nothing
// else runs. On such input a step may be answered here directly, in any
// order, since no one can observe the difference.
#pragma once

#include <cstring>

#include "refs.hpp"

namespace corvane {

inline bool inert(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value);
}

// `bool(value)` of an inert value.
inline bool inert_truth(PyObject* value) {
    return value != Py_None && PyUnicode_GET_LENGTH(value) != 0;
}

// Equality of two exact strs, by their characters (a str is stored in the
// narrowest kind that holds it, so strs of different kinds differ).
inline bool str_equal(PyObject* left, PyObject* right) {
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
inline bool inert_equal(PyObject* left, PyObject* right) {
    if (left == Py_None || right == Py_None) {
        return left == right;
    }
    return str_equal(left, right);
}

// `value in list` for an exact list and an exact str, when every item that
// the test would compare is an exact str: 1 or 0. -1 when an item of
// another kind would be compared: then only the list can answer.
inline int listed_among_strs(PyObject* list, PyObject* value) {
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

// A dict larger than this is not scanned to prove it inert.
inline constexpr Py_ssize_t kMostScannedEntries = 16;

// `key in node.keys()` and `node[key]` at once, for an exact dict whose keys
// are all exact strs and an exact-str key: no lookup in such a dict can run
// Python code. 1 and *value set (borrowed) when present, 0 when absent, -1
// when the dict is not such a dict (or too large to scan): the written steps
// must answer.
inline int plain_find(PyObject* node, PyObject* key, PyObject** value) {
    if (!PyDict_CheckExact(node) || !PyUnicode_CheckExact(key)) {
        return -1;
    }
    const Py_ssize_t size = PyDict_GET_SIZE(node);
    if (size > kMostScannedEntries) {
        return -1;
    }
    Py_ssize_t position = 0;
    PyObject* stored = nullptr;
    PyObject* stored_value = nullptr;
    int found = 0;
    // As many entries as the dict holds: no call to learn that it has no more.
    for (Py_ssize_t left = size; left > 0 && PyDict_Next(node, &position, &stored, &stored_value);
         --left) {
        if (!PyUnicode_CheckExact(stored)) {
            return -1;
        }
        if (!found && str_equal(stored, key)) {
            *value = stored_value;
            found = 1;
        }
    }
    return found;
}

}  // namespace corvane
