// The module namespace and the process-wide services the members use: names
// read at call time, the package logger, ConnectionInfraError, imports and
// the handled exception of an `except` block.
//
// Every read goes to the namespace at the moment the written rule reads it:
// a caller may rebind any name in the module.
#pragma once

#include "compat.hpp"
#include "names.hpp"
#include "texts.hpp"

namespace corvane {

// The module binding hands over the module; the services hold a reference
// to it, its namespace and its builtins. detach_module() drops them again
// after a failed initialisation, or when the interpreter finalises.
int attach_module(PyObject* module);
void detach_module();
bool module_kept() noexcept;

// 0 while the module is attached; -1 with RuntimeError after the
// interpreter that imported it finalised, for a member still called then
// (by a finaliser that runs late).
int check_attached() noexcept;

// A name of the module namespace, read now, with the module's own builtins
// (those of the interpreter that imported it) as fallback; NameError when
// neither has it.
Ref global(PyObject* name);
// A name of the module's builtins; NameError when they lack it.
Ref module_builtin(PyObject* name);

// Whether the pending exception matches what `except <name>:` would catch,
// the name read from the namespace now. -1 when the lookup itself fails.
int pending_error_matches(PyObject* name);

// `raise error_class(message)`, as the raise statement treats what the call
// returns. Always returns nullptr.
PyObject* raise_instance_of(PyObject* error_class, PyObject* message);

// `raise ConnectionInfraError(<message>)`: the class is read from the
// namespace first, then `build()` makes the message (it may run Python
// code), then the class is called. Always returns nullptr.
template <typename Build>
PyObject* raise_connection_error(Build build) {
    Ref error_class = global(names.ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    Ref message = build();
    return message ? raise_instance_of(error_class.get(), message.get()) : nullptr;
}
PyObject* raise_connection_error(PyObject* message);

// `log.debug(<text>)`: the logger and its method are read first, then
// `build()` makes the text, then the method is called. -1 on error.
template <typename Build>
int log_debug(Build build) {
    Ref logger = global(names.log);
    Ref debug = logger ? Ref::steal(PyObject_GetAttr(logger.get(), names.debug)) : Ref();
    Ref text = debug ? build() : Ref();
    Ref result = text ? Ref::steal(PyObject_CallOneArg(debug.get(), text.get())) : Ref();
    return result ? 0 : -1;
}

// Functions of the module's own, made while it initialises: `source` (a few
// `def` statements) compiled and run in globals of their own, whose builtins
// are empty, so that nothing of a caller's (builtins, hooks) ever reaches
// them and nothing is compiled at call time. The globals, which hold the
// functions by name; empty on error.
Ref own_definitions(const char* source);
// The function `name` of `definitions` (from own_definitions).
Ref own_definition(PyObject* definitions, const char* name);

// `from <module> import <name>`: ImportError "cannot import name ..." when
// the module lacks it.
Ref import_from(PyObject* module, PyObject* name);
// The module, imported with `fromlist` (a tuple of names) at `level`,
// relative to the module namespace.
Ref import_module_level(const char* name, PyObject* fromlist, int level);

// Makes the exception being handled (what `except` would bind) visible to
// everything raised while the guard lives, so that it becomes their
// __context__, as in a Python `except` block.
//
// The handled exception lives in the innermost slot of the thread's stack of
// handled exceptions (a generator has a slot of its own); asking for it finds
// the innermost one that is set, possibly a caller's. The guard writes to the
// innermost slot, so on leaving it puts back only what that slot held: a
// caller's exception must not be copied into a generator's own slot, which
// would keep it alive after the generator resumes elsewhere.
class HandlingException {
  public:
    explicit HandlingException(PyObject* exception) noexcept
        : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(nullptr);
        const Ref outer = Ref::steal(PyErr_GetHandledException());
        innermost_ = outer.get() != previous_.get();
        PyErr_SetHandledException(exception);
    }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;
    ~HandlingException() {
        // Keep a pending error across the restore.
        Ref pending = take_error();
        PyErr_SetHandledException(innermost_ ? previous_.get() : nullptr);
        restore_error(std::move(pending));
    }

  private:
    Ref previous_;
    bool innermost_ = false;
};

}  // namespace corvane
