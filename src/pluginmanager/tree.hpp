// Looking into plugin tree nodes, step by step as the written rules do:
// `key in node.keys()`, then `node[key]`. A node that is an exact dict with
// exact-str keys only answers a str key without running Python code, so the
// two steps are answered by one scan; any other node (a dict subclass, a
// mapping, a dict with a key of another type) is asked each step in turn.
#pragma once

#include "call.hpp"

namespace corvane {

// `key in node.keys()` and, when it is, `node[key]`: 1 and *value set when
// present, 0 when absent, -1 on error.
int node_get_written(PyObject* node, PyObject* key, Ref* value);
CORVANE_ALWAYS_INLINE int node_get(Call& call, PyObject* node, PyObject* key, Ref* value) {
    PyObject* found = nullptr;
    const int plain = plain_find(node, key, &found);
    if (call.shortcut(plain >= 0)) {
        if (plain) {
            *value = Ref::borrow(found);
        }
        return plain;
    }
    return node_get_written(node, key, value);
}

// `key in node.keys()`: 1, 0, or -1 on error.
int node_contains(Call& call, PyObject* node, PyObject* key);

// `node[key]`; empty on error (KeyError when absent).
Ref node_item(Call& call, PyObject* node, PyObject* key);

// `if key not in node.keys(): node[key] = {}`, then `node[key]`. *created
// tells whether the child is a new dict that nothing else holds and no
// Python code has seen.
Ref node_child(Call& call, PyObject* node, PyObject* key, bool* created);

// `node[key] = value` and `del node[key]`. Either may drop the last
// reference to what the node held, and so run its finaliser: they take the
// call off its fast path.
int node_store(Call& call, PyObject* node, PyObject* key, PyObject* value);
int node_delete(Call& call, PyObject* node, PyObject* key);

}  // namespace corvane
