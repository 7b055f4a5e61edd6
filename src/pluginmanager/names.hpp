// The strings the module uses on every call, interned once while the module
// initialises.
#pragma once

#include "members.hpp"
#include "refs.hpp"

namespace corvane {

// Identifiers: X(name) is the str "name".
#define CORVANE_NAMES(X)    \
    X(os)                   \
    X(platform)             \
    X(model)                \
    X(chassis_type)         \
    X(data)                 \
    X(output)               \
    X(cls)                  \
    X(path)                 \
    X(keys)                 \
    X(debug)                \
    X(islower)              \
    X(isdigit)              \
    X(endswith)             \
    X(split)                \
    X(get)                  \
    X(group)                \
    X(name)                 \
    X(module)               \
    X(load)                 \
    X(setter)               \
    X(dirname)              \
    X(walk_packages)        \
    X(pkgutil)              \
    X(importlib)            \
    X(import_module)        \
    X(linux)                \
    X(tests)                \
    X(log)                  \
    X(supported_os)         \
    X(supported_chassis)    \
    X(chassis_type_list)    \
    X(getfile)              \
    X(entry_points)         \
    X(ConnectionInfraError) \
    X(ENTRYPOINT_GROUP)     \
    X(_plugins)             \
    X(__path__)             \
    X(__file__)             \
    X(__name__)             \
    X(__module__)           \
    X(__class__)            \
    X(hex)                  \
    X(id)                   \
    X(ImportError)          \
    X(TypeError)

// Texts that are not identifiers: X(field, text), the words in texts.hpp.
#define CORVANE_TEXTS(X)                                \
    X(empty, "")                                        \
    X(newline, "\n")                                    \
    X(heading_mark, "__ ")                              \
    X(leaf_mark, " = ")                                 \
    X(first_mark, "\n  |")                              \
    X(bar, "  |")                                       \
    X(blank_pair, "  ")                                 \
    X(slash, "/")                                       \
    X(blank, " ")                                       \
    X(dot, ".")                                         \
    X(plugins_infix, ".plugins.")                       \
    X(tests_infix, ".tests.")                           \
    X(comma_blank, ", ")                                \
    X(default_chassis_type, texts::kDefaultChassisType) \
    X(default_output, texts::kDefaultOutput)            \
    X(not_found, texts::kNotFound)                      \
    X(not_found_for, texts::kNotFoundFor)               \
    X(not_found_path, texts::kNotFoundPath)             \
    X(not_found_type, texts::kNotFoundType)             \
    X(reserved, texts::kReserved)                       \
    X(overriding_0, texts::kOverriding0)                \
    X(overriding_1, texts::kOverriding1)                \
    X(overriding_2, texts::kOverriding2)                \
    X(overriding_3, texts::kOverriding3)                \
    X(overriding_4, texts::kOverriding4)                \
    X(model_needs_platform, texts::kModelNeedsPlatform) \
    X(model_type, texts::kModelType)                    \
    X(model_case, texts::kModelCase)                    \
    X(platform_needs_os, texts::kPlatformNeedsOs)       \
    X(platform_type, texts::kPlatformType)              \
    X(platform_case, texts::kPlatformCase)              \
    X(unknown_os, texts::kUnknownOs)                    \
    X(os_expected, texts::kOsExpected)                  \
    X(os_got, texts::kOsGot)                            \
    X(chassis_expected, texts::kChassisExpected)        \
    X(chassis_got, texts::kChassisGot)                  \
    X(loading_plugin, texts::kLoadingPlugin)            \
    X(loading_from, texts::kLoadingFrom)                \
    X(repr_start, texts::kReprStart)                    \
    X(repr_at, texts::kReprAt)                          \
    X(repr_end, texts::kReprEnd)

// Keyword-name tuples of the calls the members make: X(field, items...).
#define CORVANE_KWNAMES(X)                                      \
    X(os_platform_model, names.os, names.platform, names.model) \
    X(platform_os, names.platform, names.os)                    \
    X(os_only, names.os)                                        \
    X(chassis_type_only, names.chassis_type)                    \
    X(data_output, names.data, names.output)                    \
    X(group_only, names.group)

struct Names {
#define CORVANE_DECLARE(field, ...) PyObject* field;
    CORVANE_NAMES(CORVANE_DECLARE)
    CORVANE_TEXTS(CORVANE_DECLARE)
    CORVANE_KWNAMES(CORVANE_DECLARE)
#undef CORVANE_DECLARE
    // The member names, by Member.
    PyObject* member[kMemberCount];
};

extern Names names;

// The name of a member, interned.
inline PyObject* member_name(Member member) {
    return names.member[static_cast<int>(member)];
}

// Interns `names`; -1 on error. Idempotent.
int init_names();
// Lets every name go again.
void release_names();
bool names_kept() noexcept;

}  // namespace corvane
