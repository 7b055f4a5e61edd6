// PluginManager's members, one row each, in class-body order (which is also
// the order of the class __dict__). The enum, the names and the member table
// of module.cpp are all made from these rows.
//
// X(id, name, kind, called, docstring, function, parameters...)
//   kind:       how the class body binds the function: method, getter and
//               setter (of one property), static_method
//   called:     through_self for a member the module's own members call
//               through the instance (`self.validate_os(...)`), so that an
//               override of it is what runs; by_callers for the others.
//               Every call through the instance names its member at
//               compile time and is held to this column (call.hpp).
//   function:   the C++ of the member, declared in its subsystem's header;
//               a method takes the Call of `self` and one argument per
//               parameter after it, a static method takes nothing
//   parameters: R(name) for a required parameter, D(name, default) for one
//               with a default (none, default_chassis_type or default_output,
//               the texts of texts.hpp)
#pragma once

#include <initializer_list>

#include "texts.hpp"

namespace corvane {

#define CORVANE_MEMBERS(X)                                                                        \
    X(init, "__init__", method, by_callers, texts::kInitDoc, manager_init, R(self))               \
    X(plugins_getter, "plugins", getter, by_callers, texts::kPluginsDoc, plugins_getter, R(self)) \
    X(plugins_setter, "plugins", setter, by_callers, texts::kPluginsDoc, plugins_setter, R(self), \
      R(value))                                                                                   \
    X(validate_model, "validate_model", method, through_self, texts::kValidateModelDoc,           \
      validate_model, R(self), R(os), R(platform), R(model))                                      \
    X(validate_platform, "validate_platform", method, through_self, texts::kValidatePlatformDoc,  \
      validate_platform, R(self), R(os), R(platform))                                             \
    X(validate_os, "validate_os", method, through_self, texts::kValidateOsDoc, validate_os,       \
      R(self), R(os))                                                                             \
    X(validate_chassis_type, "validate_chassis_type", method, through_self,                       \
      texts::kValidateChassisDoc, validate_chassis_type, R(self), R(chassis_type))                \
    X(validate_arguments, "validate_arguments", method, through_self,                             \
      texts::kValidateArgumentsDoc, validate_arguments, R(self), R(os), R(platform), R(model),    \
      R(chassis_type))                                                                            \
    X(get_plugin, "get_plugin", method, by_callers, texts::kGetPluginDoc, get_plugin, R(self),    \
      D(os, none), D(platform, none), D(model, none), D(os_flavor, none),                         \
      D(chassis_type, default_chassis_type))                                                      \
    X(unregister_plugin, "unregister_plugin", method, by_callers, texts::kUnregisterDoc,          \
      unregister_plugin, R(self), D(os, none), D(platform, none), D(model, none),                 \
      D(os_flavor, none), D(chassis_type, none))                                                  \
    X(register_plugin, "register_plugin", method, by_callers, texts::kRegisterDoc,                \
      register_plugin, R(self), R(cls), D(os, none), D(platform, none), D(model, none),           \
      D(os_flavor, none), D(chassis_type, default_chassis_type))                                  \
    X(discover_builtin_plugins, "discover_builtin_plugins", static_method, by_callers,            \
      texts::kDiscoverBuiltinDoc, discover_builtin_plugins)                                       \
    X(discover_external_plugins, "discover_external_plugins", static_method, by_callers,          \
      texts::kDiscoverExternalDoc, discover_external_plugins)                                     \
    X(print_tree, "print_tree", method, through_self, texts::kPrintTreeDoc, print_tree, R(self),  \
      R(data), D(output, default_output))                                                         \
    X(repr, "__repr__", method, by_callers, nullptr, manager_repr, R(self))

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

// Whether the module's own members call a member through the instance.
inline constexpr bool kCalledThroughSelf[] = {
#define CORVANE_MEMBER_CALLED(id, name, kind, called, ...) CORVANE_CALLED_##called,
#define CORVANE_CALLED_through_self true
#define CORVANE_CALLED_by_callers false
    CORVANE_MEMBERS(CORVANE_MEMBER_CALLED)
#undef CORVANE_MEMBER_CALLED
#undef CORVANE_CALLED_through_self
#undef CORVANE_CALLED_by_callers
};

constexpr bool called_through_self(Member member) {
    return kCalledThroughSelf[static_cast<int>(member)];
}

// The number of a member's parameters, `self` included.
inline constexpr int kMemberParams[] = {
#define R(name) 0
#define D(name, value) 0
#define CORVANE_MEMBER_PARAMS(id, name, kind, called, doc, function, ...) \
    static_cast<int>(std::initializer_list<int>{__VA_ARGS__}.size()),
    CORVANE_MEMBERS(CORVANE_MEMBER_PARAMS)
#undef CORVANE_MEMBER_PARAMS
#undef R
#undef D
};

// The members the module calls through the instance, in member order.
inline constexpr int kThroughSelfCount = [] {
    int count = 0;
    for (bool called : kCalledThroughSelf) {
        count += called ? 1 : 0;
    }
    return count;
}();
struct ThroughSelf {
    Member members[kThroughSelfCount] = {};
    constexpr ThroughSelf() {
        int next = 0;
        for (int i = 0; i < kMemberCount; ++i) {
            if (kCalledThroughSelf[i]) {
                members[next++] = static_cast<Member>(i);
            }
        }
    }
};
inline constexpr ThroughSelf kThroughSelf;

}  // namespace corvane
