// The members of PluginManager, one group per subsystem. Each takes the
// bound arguments of its call; `self` comes as an Instance, the call's view
// of it (runtime.hpp).
#pragma once

#include "runtime.hpp"

namespace corvane {

// validation.cpp
PyObject* validate_model(PyObject* os, PyObject* platform, PyObject* model);
PyObject* validate_platform(PyObject* os, PyObject* platform);
PyObject* validate_os(Instance& self, PyObject* os);
PyObject* validate_chassis_type(Instance& self, PyObject* chassis_type);
PyObject* validate_arguments(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type);
// self.validate_arguments(os, platform, model, chassis_type), as every
// registry operation runs it first. -1 on error.
int check_description(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                      PyObject* chassis_type);

// registry.cpp
PyObject* manager_init(PyObject* self);
PyObject* plugins_getter(PyObject* self);
PyObject* plugins_setter(PyObject* self, PyObject* value);
PyObject* get_plugin(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type);
PyObject* unregister_plugin(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type);
PyObject* register_plugin(Instance& self, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type);

// discovery.cpp
PyObject* discover_builtin_plugins();
PyObject* discover_external_plugins();

// rendering.cpp
PyObject* print_tree(Instance& self, PyObject* data, PyObject* output);
PyObject* manager_repr(Instance& self);

}  // namespace corvane
