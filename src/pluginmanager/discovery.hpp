// Plugin discovery: importing the package's own plugin modules and loading
// the entry points of external distributions.
#pragma once

#include "refs.hpp"

namespace corvane {

// Makes what discovery keeps while the module initialises (-1 on error);
// lets it go again.
int discovery_ready();
void release_discovery();
bool discovery_kept() noexcept;

PyObject* discover_builtin_plugins();
PyObject* discover_external_plugins();

}  // namespace corvane
