#include "tree.hpp"

namespace corvane {
namespace {

// `key in node.keys()`, asked of the node.
int keys_contain(PyObject* node, PyObject* key) {
    if (PyDict_CheckExact(node)) {
        // An exact dict's keys() is its own view, whose test is the dict's.
        return PyDict_Contains(node, key);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(node, names.keys));
    return keys ? PySequence_Contains(keys.get(), key) : -1;
}

}  // namespace

int node_get_written(PyObject* node, PyObject* key, Ref* value) {
    const int present = keys_contain(node, key);
    if (present <= 0) {
        return present;
    }
    *value = Ref::steal(PyObject_GetItem(node, key));
    return *value ? 1 : -1;
}

int node_contains(Call& call, PyObject* node, PyObject* key) {
    PyObject* found = nullptr;
    const int plain = plain_find(node, key, &found);
    if (call.shortcut(plain >= 0)) {
        return plain;
    }
    return keys_contain(node, key);
}

Ref node_item(Call& call, PyObject* node, PyObject* key) {
    PyObject* found = nullptr;
    const int plain = plain_find(node, key, &found);
    if (call.shortcut(plain > 0)) {
        return Ref::borrow(found);
    }
    return Ref::steal(PyObject_GetItem(node, key));
}

Ref node_child(Call& call, PyObject* node, PyObject* key, bool* created) {
    *created = false;
    PyObject* found = nullptr;
    const int plain = plain_find(node, key, &found);
    if (call.shortcut(plain >= 0)) {
        if (plain) {
            return Ref::borrow(found);
        }
        // A new key in a dict of exact-str keys: storing runs no Python
        // code, and reading it back gives the new node.
        Ref child = Ref::steal(PyDict_New());
        if (!child || PyDict_SetItem(node, key, child.get()) < 0) {
            return Ref();
        }
        *created = true;
        return child;
    }
    const int present = keys_contain(node, key);
    if (present < 0) {
        return Ref();
    }
    if (!present) {
        Ref child = Ref::steal(PyDict_New());
        if (!child || PyObject_SetItem(node, key, child.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(PyObject_GetItem(node, key));
}

int node_store(Call& call, PyObject* node, PyObject* key, PyObject* value) {
    call.shortcut(false);
    return PyObject_SetItem(node, key, value);
}

int node_delete(Call& call, PyObject* node, PyObject* key) {
    call.shortcut(false);
    return PyObject_DelItem(node, key);
}

}  // namespace corvane
