// PluginManager's members, one row each, in class-body order (which is also
// the order of the class __dict__). The enum, the names and the member table
// of module.cpp are all made from these rows.
//
// X(id, name, kind, docstring, function, parameters...)
//   kind:       how the class body binds the function: method, getter and
//               setter (of one property), static_method
//   function:   the C++ of the member, declared in its subsystem's header;
//               a method takes the Call of `self` and one argument per
//               parameter after it, a static method takes nothing
//   parameters: R(name) for a required parameter, D(name, default) for one
//               with a default (none, single_rp or plugin)
#pragma once

#include "texts.hpp"

namespace corvane {

#define CORVANE_MEMBERS(X)                                                                         \
    X(init, "__init__", method, texts::kInitDoc, manager_init, R(self))                            \
    X(plugins_getter, "plugins", getter, texts::kPluginsDoc, plugins_getter, R(self))              \
    X(plugins_setter, "plugins", setter, texts::kPluginsDoc, plugins_setter, R(self), R(value))    \
    X(validate_model, "validate_model", method, texts::kValidateModelDoc, validate_model, R(self), \
      R(os), R(platform), R(model))                                                                \
    X(validate_platform, "validate_platform", method, texts::kValidatePlatformDoc,                 \
      validate_platform, R(self), R(os), R(platform))                                              \
    X(validate_os, "validate_os", method, texts::kValidateOsDoc, validate_os, R(self), R(os))      \
    X(validate_chassis_type, "validate_chassis_type", method, texts::kValidateChassisDoc,          \
      validate_chassis_type, R(self), R(chassis_type))                                             \
    X(validate_arguments, "validate_arguments", method, texts::kValidateArgumentsDoc,              \
      validate_arguments, R(self), R(os), R(platform), R(model), R(chassis_type))                  \
    X(get_plugin, "get_plugin", method, texts::kGetPluginDoc, get_plugin, R(self), D(os, none),    \
      D(platform, none), D(model, none), D(os_flavor, none), D(chassis_type, single_rp))           \
    X(unregister_plugin, "unregister_plugin", method, texts::kUnregisterDoc, unregister_plugin,    \
      R(self), D(os, none), D(platform, none), D(model, none), D(os_flavor, none),                 \
      D(chassis_type, none))                                                                       \
    X(register_plugin, "register_plugin", method, texts::kRegisterDoc, register_plugin, R(self),   \
      R(cls), D(os, none), D(platform, none), D(model, none), D(os_flavor, none),                  \
      D(chassis_type, single_rp))                                                                  \
    X(discover_builtin_plugins, "discover_builtin_plugins", static_method,                         \
      texts::kDiscoverBuiltinDoc, discover_builtin_plugins)                                        \
    X(discover_external_plugins, "discover_external_plugins", static_method,                       \
      texts::kDiscoverExternalDoc, discover_external_plugins)                                      \
    X(print_tree, "print_tree", method, texts::kPrintTreeDoc, print_tree, R(self), R(data),        \
      D(output, plugin))                                                                           \
    X(repr, "__repr__", method, nullptr, manager_repr, R(self))

enum class Member {
#define CORVANE_MEMBER_ENUM(id, ...) id,
    CORVANE_MEMBERS(CORVANE_MEMBER_ENUM)
#undef CORVANE_MEMBER_ENUM
        count,
};

inline constexpr int kMemberCount = static_cast<int>(Member::count);

inline constexpr const char* kMemberNames[] = {
#define CORVANE_MEMBER_NAME(id, name, ...) name,
    CORVANE_MEMBERS(CORVANE_MEMBER_NAME)
#undef CORVANE_MEMBER_NAME
};

}  // namespace corvane
