// Native functions that behave like Python functions in a class body.
//
// Every member of PluginManager is one of these: it binds to an instance
// through __get__ like a Python function, binds its arguments from a
// parameter table (by position or keyword, with defaults; anything else as a
// `def` with its signature does, TypeErrors included), and carries __name__,
// __qualname__, __module__, __doc__, __defaults__, __objclass__ and a
// __text_signature__ for inspect.signature().
#pragma once

#include "refs.hpp"

namespace corvane {

inline constexpr int kMaxParams = 7;

// The default of a parameter, as it appears in __defaults__: the values are
// the interned texts of names.hpp.
enum class Default { required, none, default_chassis_type, default_output };

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
    Kind kind;
    int nparams;
    Param params[kMaxParams];
    Entry entry;
};

// Creates the function type while the module initialises; lets it go again.
int function_type_ready();
void release_function_type();
bool function_type_kept() noexcept;

// Makes the members' functions while the class is built. Arguments that do
// not bind at once are bound through a function's binder: a Python function
// with the member's parameters, defaults and qualified name that gives them
// back bound, or raises the TypeError a `def` raises. Binders are made here,
// from code compiled once for every number of parameters, in globals of
// their own with empty builtins: a call compiles nothing and reaches nothing
// of the caller's.
class FunctionFactory {
  public:
    // Compiles the binders' code for `specs`; -1 on error.
    int ready(const MemberSpec* specs, int count, PyObject* module_name);
    // A new function object named `name` ("PluginManager.<name>" qualified)
    // for `spec`, which must outlive it.
    Ref make(const MemberSpec& spec, const char* name) const;

  private:
    Ref code_[kMaxParams + 1];  // by number of parameters
    Ref globals_;
    Ref module_name_;
};

// Gives a function made by FunctionFactory its class, as its __objclass__
// (held weakly: the class holds the function): where help() looks for the
// docstring a member without one inherits. -1 on error.
int set_function_class(PyObject* function, PyObject* cls);

}  // namespace corvane
