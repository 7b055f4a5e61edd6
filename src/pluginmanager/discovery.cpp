// Plugin discovery: importing the package's own plugin modules and loading
// the entry points of external distributions. Both only run plugin code; the
// plugins register their classes themselves.
#include "discovery.hpp"

#include "services.hpp"

namespace corvane {
namespace {

// `_finder, name, _ispkg = item`, unpacked by CPython itself, so that a walk
// item that is not a triple fails in the running version's own words: a
// function of the module's own, made while it initialises.
constexpr char kUnpackSource[] =
    "def unpack_walk_item(item):\n _finder,name,_ispkg=item\n return name\n";

PyObject* g_unpack_walk_item = nullptr;

// The module name of a walk item. A triple (the walk's own ModuleInfo is a
// tuple whose iteration is the tuple's) unpacks without a call: iterating a
// tuple runs no Python code.
Ref unpack_module_name(PyObject* item) {
    if (PyTuple_Check(item) && Py_TYPE(item)->tp_iter == PyTuple_Type.tp_iter &&
        PyTuple_GET_SIZE(item) == 3) {
        return Ref::borrow(PyTuple_GET_ITEM(item, 1));
    }
    return Ref::steal(PyObject_CallOneArg(g_unpack_walk_item, item));
}

// `from corvane.plugins import <first> as ..., __name__ as ...`
int import_plugin_package(PyObject* first, Ref* first_value, Ref* package_name) {
    PyObject* items[] = {first, names.__name__};
    Ref fromlist = Ref::steal(PyTuple_Pack(2, items[0], items[1]));
    Ref package = fromlist ? import_module_level("corvane.plugins", fromlist.get(), 0) : Ref();
    if (!package) {
        return -1;
    }
    *first_value = import_from(package.get(), first);
    if (!*first_value) {
        return -1;
    }
    *package_name = import_from(package.get(), names.__name__);
    return *package_name ? 0 : -1;
}

// The search path of the walk and the prefix of plugin module names. A
// plugin package that is a plain module is searched in its own directory.
int plugin_search_path(Ref* plugins_path, Ref* prefix) {
    Ref package_name;
    if (import_plugin_package(names.__path__, plugins_path, &package_name) < 0) {
        const int matches = pending_error_matches(names.ImportError);
        if (matches <= 0) {
            return -1;
        }
        Ref first_error = take_error();
        HandlingException handling(first_error.get());
        Ref init_file;
        if (import_plugin_package(names.__file__, &init_file, &package_name) < 0) {
            return -1;
        }
        Ref os_module = global(names.os);
        Ref os_path =
            os_module ? Ref::steal(PyObject_GetAttrString(os_module.get(), "path")) : Ref();
        Ref directory = os_path ? Ref::steal(PyObject_CallMethodOneArg(os_path.get(), names.dirname,
                                                                       init_file.get()))
                                : Ref();
        *plugins_path = directory ? Ref::steal(PyList_New(1)) : Ref();
        if (!*plugins_path) {
            return -1;
        }
        PyList_SET_ITEM(plugins_path->get(), 0, directory.release());
    }
    *prefix = Ref::steal(PyNumber_Add(package_name.get(), names.dot));
    return *prefix ? 0 : -1;
}

// 1 when a walked module name is a plugin module: below a ".plugins."
// package and neither a test module nor inside a tests package.
int is_plugin_module(PyObject* name) {
    const int in_plugins = PySequence_Contains(name, names.plugins_infix);
    if (in_plugins <= 0) {
        return in_plugins;
    }
    const int in_tests = PySequence_Contains(name, names.tests_infix);
    if (in_tests != 0) {
        return in_tests < 0 ? -1 : 0;
    }
    Ref ends = Ref::steal(PyObject_CallMethodOneArg(name, names.endswith, names.tests));
    if (!ends) {
        return -1;
    }
    const int test_module = PyObject_IsTrue(ends.get());
    return test_module < 0 ? -1 : !test_module;
}

}  // namespace

int discovery_ready() {
    const Ref definitions = own_definitions(kUnpackSource);
    Ref unpack = definitions ? own_definition(definitions.get(), "unpack_walk_item") : Ref();
    if (!unpack) {
        return -1;
    }
    Py_XSETREF(g_unpack_walk_item, unpack.release());
    return 0;
}

void release_discovery() {
    Py_CLEAR(g_unpack_walk_item);
}

bool discovery_kept() noexcept {
    return g_unpack_walk_item != nullptr;
}

PyObject* discover_builtin_plugins() {
    Ref plugins_path;
    Ref prefix;
    if (plugin_search_path(&plugins_path, &prefix) < 0) {
        return nullptr;
    }
    Ref pkgutil = global(names.pkgutil);
    Ref walk =
        pkgutil ? Ref::steal(PyObject_CallMethodObjArgs(pkgutil.get(), names.walk_packages,
                                                        plugins_path.get(), prefix.get(), nullptr))
                : Ref();
    Ref modules = walk ? Ref::steal(PyObject_GetIter(walk.get())) : Ref();
    if (!modules) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(modules.get()))) {
        Ref name = unpack_module_name(item.get());
        if (!name) {
            return nullptr;
        }
        const int wanted = is_plugin_module(name.get());
        if (wanted < 0) {
            return nullptr;
        }
        if (!wanted) {
            continue;
        }
        Ref importlib = global(names.importlib);
        Ref module = importlib ? Ref::steal(PyObject_CallMethodOneArg(
                                     importlib.get(), names.import_module, name.get()))
                               : Ref();
        if (!module) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* discover_external_plugins() {
    Ref entry_points = global(names.entry_points);
    Ref group = entry_points ? global(names.ENTRYPOINT_GROUP) : Ref();
    if (!group) {
        return nullptr;
    }
    PyObject* group_arg = group.get();
    Ref plugins =
        Ref::steal(PyObject_Vectorcall(entry_points.get(), &group_arg, 0, names.group_only));
    if (!plugins) {
        // An older entry_points() takes no `group` and returns a mapping.
        const int matches = pending_error_matches(names.TypeError);
        if (matches <= 0) {
            return nullptr;
        }
        Ref first_error = take_error();
        HandlingException handling(first_error.get());
        Ref legacy_entry_points = global(names.entry_points);
        Ref groups = legacy_entry_points
                         ? Ref::steal(PyObject_CallNoArgs(legacy_entry_points.get()))
                         : Ref();
        Ref legacy_group = groups ? global(names.ENTRYPOINT_GROUP) : Ref();
        Ref none_found = legacy_group ? Ref::steal(PyList_New(0)) : Ref();
        plugins = none_found
                      ? Ref::steal(PyObject_CallMethodObjArgs(
                            groups.get(), names.get, legacy_group.get(), none_found.get(), nullptr))
                      : Ref();
        if (!plugins) {
            return nullptr;
        }
    }
    Ref iterator = Ref::steal(PyObject_GetIter(plugins.get()));
    if (!iterator) {
        return nullptr;
    }
    while (Ref plugin = Ref::steal(PyIter_Next(iterator.get()))) {
        // "Loading external plugin " + str(plugin.name) + " from " + str(plugin.module)
        const int logged = log_debug([&] {
            Ref name = Ref::steal(PyObject_GetAttr(plugin.get(), names.name));
            Ref name_text = name ? Ref::steal(PyObject_Str(name.get())) : Ref();
            Ref text =
                name_text ? Ref::steal(PyNumber_Add(names.loading_plugin, name_text.get())) : Ref();
            text = text ? Ref::steal(PyNumber_Add(text.get(), names.loading_from)) : Ref();
            Ref module = text ? Ref::steal(PyObject_GetAttr(plugin.get(), names.module)) : Ref();
            Ref module_text = module ? Ref::steal(PyObject_Str(module.get())) : Ref();
            return module_text ? Ref::steal(PyNumber_Add(text.get(), module_text.get())) : Ref();
        });
        if (logged < 0) {
            return nullptr;
        }
        Ref loaded = Ref::steal(PyObject_CallMethodNoArgs(plugin.get(), names.load));
        if (!loaded) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace corvane
