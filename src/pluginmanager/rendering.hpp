// The plugin tree as indented text.
#pragma once

#include "call.hpp"

namespace corvane {

PyObject* print_tree(Call& call, PyObject* data, PyObject* output);
PyObject* manager_repr(Call& call);

}  // namespace corvane
