// Native functions that behave like Python functions in a class body.
//
// Every member of PluginManager is one of these: it binds to an instance
// through __get__ like a Python function, binds its arguments from a
// parameter table (by position or keyword, with defaults; anything else as a
// `def` with its signature does, TypeErrors included), and carries __name__, __qualname__,
// __module__,
// __doc__, __defaults__ and a __text_signature__ for inspect.signature().
#pragma once

#include "refs.hpp"

namespace corvane {

inline constexpr int kMaxParams = 7;

// The default of a parameter, as it appears in __defaults__.
enum class Default { required, none, single_rp, plugin };

struct Param {
    const char* name;
    Default default_value = Default::required;
};

// Receives the bound arguments: one borrowed pointer per parameter, in
// parameter order, defaults filled in; and whether they bound at once
// (otherwise the binder, Python code, bound them).
using Entry = PyObject* (*)(PyObject* const* args, bool bound_at_once);

// How the class body binds a member's function.
enum class Kind { method, getter, setter, static_method };

struct MemberSpec {
    const char* doc;  // nullptr: no docstring
    Kind kind;        // a method's first parameter is `self`, positional only
    int nparams;
    Param params[kMaxParams];
    Entry entry;
};

// Creates the function type while the module initialises; lets it go again.
int function_type_ready();
void release_function_type();

// A new function object named `name` ("PluginManager.<name>" qualified) for
// `spec`, which must outlive it. Arguments that do not bind at once are
// bound through its binder: a `def` named "PluginManager.<name>" with the
// member's parameters and defaults, which gives them back bound.
Ref make_function(const MemberSpec& spec, const char* name, PyObject* module_name);

}  // namespace corvane
