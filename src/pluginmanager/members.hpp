// PluginManager's members, in class-body order (which is also the order of
// the class __dict__). The enum and the member table of module.cpp are both
// made from this one list.
#pragma once

namespace corvane {

// X(identifier, name in the class namespace)
#define CORVANE_MEMBERS(X)                                    \
    X(init, "__init__")                                       \
    X(plugins_getter, "plugins")                              \
    X(plugins_setter, "plugins")                              \
    X(validate_model, "validate_model")                       \
    X(validate_platform, "validate_platform")                 \
    X(validate_os, "validate_os")                             \
    X(validate_chassis_type, "validate_chassis_type")         \
    X(validate_arguments, "validate_arguments")               \
    X(get_plugin, "get_plugin")                               \
    X(unregister_plugin, "unregister_plugin")                 \
    X(register_plugin, "register_plugin")                     \
    X(discover_builtin_plugins, "discover_builtin_plugins")   \
    X(discover_external_plugins, "discover_external_plugins") \
    X(print_tree, "print_tree")                               \
    X(repr, "__repr__")

enum class Member {
#define CORVANE_MEMBER_ENUM(id, name) id,
    CORVANE_MEMBERS(CORVANE_MEMBER_ENUM)
#undef CORVANE_MEMBER_ENUM
        count,
};

inline constexpr const char* kMemberNames[] = {
#define CORVANE_MEMBER_NAME(id, name) name,
    CORVANE_MEMBERS(CORVANE_MEMBER_NAME)
#undef CORVANE_MEMBER_NAME
};

}  // namespace corvane
