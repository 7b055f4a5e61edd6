// The plugin tree and the operations on it: the state a manager starts with,
// registration, unregistration and lookup.
#pragma once

#include "call.hpp"

namespace corvane {

PyObject* manager_init(Call& call);
PyObject* plugins_getter(Call& call);
PyObject* plugins_setter(Call& call, PyObject* value);
PyObject* get_plugin(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type);
PyObject* unregister_plugin(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type);
PyObject* register_plugin(Call& call, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type);

}  // namespace corvane
