// Plugin discovery: importing the package's own plugin modules and loading
// the entry points of external distributions.
#pragma once

#include "refs.hpp"

namespace corvane {

PyObject* discover_builtin_plugins();
PyObject* discover_external_plugins();

}  // namespace corvane
