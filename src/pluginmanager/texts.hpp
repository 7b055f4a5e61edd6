// The module's fixed texts, word for word, blanks included: its messages,
// the templates its messages are made from, and its docstrings. The texts
// used on calls are interned once as str objects (names.hpp).
#pragma once

namespace corvane::texts {

// The defaults of the members' parameters (function.cpp): the chassis type
// of a description that names none, and the first line of a rendered tree.
inline constexpr char kDefaultChassisType[] = "single_rp";
inline constexpr char kDefaultOutput[] = "plugin";

// Registry (registry.cpp).
inline constexpr char kProtected[] = " Protected Member, cannot modify Plugins";
inline constexpr char kNotFound[] = "Plugin data not found";
inline constexpr char kNotFoundFor[] = "Plugin data not found for %s";
inline constexpr char kNotFoundPath[] = "Plugin data not found for (";
inline constexpr char kNotFoundType[] = "), type: ";
inline constexpr char kReserved[] =
    "The name 'data' is reserved and cannot be used as os, platform, model or os_flavor";
// " {} already registered for {}, {} from {} is overriding this class": the
// texts around its four fields.
inline constexpr char kOverriding0[] = " ";
inline constexpr char kOverriding1[] = " already registered for ";
inline constexpr char kOverriding2[] = ", ";
inline constexpr char kOverriding3[] = " from ";
inline constexpr char kOverriding4[] = " is overriding this class";

// Validation (validation.cpp).
inline constexpr char kModelNeedsPlatform[] = "OS and platform are required for Model: ";
inline constexpr char kModelType[] = "Model should be of type str";
inline constexpr char kModelCase[] = " Model (%s) has to be in lowecase";
inline constexpr char kPlatformNeedsOs[] = "OS information not provided for platform: ";
inline constexpr char kPlatformType[] = "platform should be of type str";
inline constexpr char kPlatformCase[] = "platform (%s) has to be in lowercase";
inline constexpr char kUnknownOs[] = "%s is not part of the built-in list of supported OSes.";
inline constexpr char kOsExpected[] = "OS should be one of these ";
inline constexpr char kOsGot[] = " , but got ";
inline constexpr char kChassisExpected[] = "chassis Type should be one of these ";
inline constexpr char kChassisGot[] = ", but got ";

// Discovery (discovery.cpp).
inline constexpr char kLoadingPlugin[] = "Loading external plugin ";
inline constexpr char kLoadingFrom[] = " from ";

// Rendering (rendering.cpp).
inline constexpr char kReprStart[] = "plugins (";
inline constexpr char kReprAt[] = " at ";
inline constexpr char kReprEnd[] = ") ";
inline constexpr char kDepth[] = "maximum recursion depth exceeded while rendering the plugin tree";
// `sorted_keys[-1]` of no keys, in the host's words.
inline constexpr char kNoLastKey[] = "list index out of range";

// Calls into the module (compat.hpp, function.cpp).
inline constexpr char kStackExhausted[] =
    "maximum recursion depth exceeded while calling a PluginManager member";
inline constexpr char kBinderResult[] = "the binder of %U did not give back its %d arguments";
inline constexpr char kNoBinderCode[] = "no binder code was compiled for %d parameters";

// Services (services.cpp): the host's own words where the module does what
// the host would.
inline constexpr char kNameNotDefined[] = "name '%U' is not defined";
inline constexpr char kCannotImportName[] = "cannot import name %S";
inline constexpr char kNotAnException[] = "exceptions must derive from BaseException";
inline constexpr char kNoBuiltins[] = "no builtins to import the module with";
inline constexpr char kNotDefined[] = "the module's own %s was not defined";

// Module binding (module.cpp).
inline constexpr char kModuleName[] = "corvane.core.pluginmanager";
inline constexpr char kNoInterpreterDict[] = "the interpreter keeps no dict of its own";
inline constexpr char kVersionDiffers[] = "does not match";
inline constexpr char kStillKept[] = "not released by an earlier initialisation: %s";
inline constexpr char kFinalised[] =
    "corvane.core.pluginmanager was released with the interpreter that imported it";
inline constexpr char kInit[] = "init corvane.core.pluginmanager";
inline constexpr char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process.";
inline constexpr char kReinitialised[] =
    "Module 'pluginmanager' has already been imported. Re-initialisation is not supported.";
inline constexpr char kVersionMismatch[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";

// The sentinel of a test build (sentinel.cpp).
inline constexpr char kSentinelReport[] = "step %s: Python code %S started on the fast path";
inline constexpr char kSentinelNoStep[] = "(none yet)";
inline constexpr char kSentinelUnknownStep[] = "no step is named %R";
inline constexpr char kSentinelArmDoc[] = "Watch the calling thread.";
inline constexpr char kSentinelDisarmDoc[] = "Stop watching the calling thread.";
inline constexpr char kSentinelTakeDoc[] = "The reports since the last take().";
inline constexpr char kSentinelPlantDoc[] = "Keep the named steps on the fast path (None: none).";
inline constexpr char kSentinelStepsDoc[] = "The step table: (name, kind, proof or what it does).";
inline constexpr char kSentinelTakenDoc[] = "How often the named choice's fast form was taken.";
inline constexpr char kSentinelTripDoc[] =
    "trip(n, signum): every child a render completes is a safe point, and signum is made "
    "pending at the n-th (from 0); n < 0: none.";

inline constexpr char kModuleDoc[] =
    "Module:\n"
    "    corvane.core.pluginmanager\n"
    "\n"
    "Description:\n"
    "    This module provides:\n"
    "    1. Methods for identifying and loading plugin implementations\n"
    "    2. Methods for validating and accessing platform implementation\n";

inline constexpr char kClassDoc[] =
    "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n   "
    " ";

inline constexpr char kInitDoc[] = "\n            Initialize\n        ";
inline constexpr char kPluginsDoc[] = " Plugin list getter\n        ";
inline constexpr char kValidateModelDoc[] = "\n         Validates Model\n        ";
inline constexpr char kValidatePlatformDoc[] = "\n         Validates platform\n        ";
inline constexpr char kValidateOsDoc[] = "\n         Validates OS\n        ";
inline constexpr char kValidateChassisDoc[] = "\n         Validate chassis\n        ";
inline constexpr char kValidateArgumentsDoc[] = " Validates the input arguments provided\n        ";
inline constexpr char kGetPluginDoc[] =
    "\n            This method returns the connection class based on the\n"
    "            input details provided\n        ";
inline constexpr char kUnregisterDoc[] =
    "\n            This method unregister a particular implementations from\n"
    "            the internal database\n        ";
inline constexpr char kRegisterDoc[] =
    "\n"
    "            This method registers all the implementation plugin(i.e connection class)\n"
    "            to the corvane plugin manager\n"
    "\n"
    "            It takes OS, platform, MODEL information and based on that\n"
    "            registers it\n"
    "\n"
    "            cls refer to the connection class\n"
    "            chassis_type indicates if the connection class is for single_rp or\n"
    "            dual_rp or stack(default single_rp)\n"
    "\n"
    "        ";
inline constexpr char kDiscoverBuiltinDoc[] = "loads all plugins";
inline constexpr char kDiscoverExternalDoc[] =
    "\n        discover external plugins defined that users pip installed.\n        ";
inline constexpr char kPrintTreeDoc[] =
    " This Method print the plugin list in tree structure\n"
    "\n"
    "            plugin\n"
    "              |__ generic\n"
    "                |__ data\n"
    "                  |__ single_rp\n"
    "                    |__ cls = <class 'corvane.plugins.generic.Connection'>\n"
    "                    |__ path = .../corvane/plugins/generic/__init__.py\n"
    "\n"
    "            data is the tree (or any nested mapping) to render and output\n"
    "            the first line of the text; the rendered text is returned.\n"
    "        ";

}  // namespace corvane::texts
