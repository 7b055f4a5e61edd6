// Validation of device descriptions: the four validators and the combined
// check that every registry operation runs first.
#pragma once

#include "call.hpp"

namespace corvane {

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

}  // namespace corvane
