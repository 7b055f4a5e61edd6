// The members of PluginManager, one group per subsystem. Each takes the
// bound arguments of its call; `self` comes as the Call it belongs to
// (call.hpp), which a member called directly by another continues.
#pragma once

#include "call.hpp"

namespace corvane {

// validation.cpp
PyObject* validate_model(Call& call, PyObject* os, PyObject* platform, PyObject* model);
PyObject* validate_platform(Call& call, PyObject* os, PyObject* platform);
PyObject* validate_os(Call& call, PyObject* os);
PyObject* validate_chassis_type(Call& call, PyObject* chassis_type);
PyObject* validate_arguments(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                             PyObject* chassis_type);
// self.validate_arguments(os, platform, model, chassis_type), as every
// registry operation runs it first. -1 on error.
int check_description(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                      PyObject* chassis_type);

// registry.cpp
PyObject* manager_init(PyObject* self);
PyObject* plugins_getter(PyObject* self);
PyObject* plugins_setter(PyObject* self, PyObject* value);
PyObject* get_plugin(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type);
PyObject* unregister_plugin(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type);
PyObject* register_plugin(Call& call, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type);

// discovery.cpp
PyObject* discover_builtin_plugins();
PyObject* discover_external_plugins();

// rendering.cpp
PyObject* print_tree(Call& call, PyObject* data, PyObject* output);
PyObject* manager_repr(Call& call);

}  // namespace corvane
