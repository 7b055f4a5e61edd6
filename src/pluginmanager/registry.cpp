// The plugin tree and the operations on it.
//
//     _plugins = {os: {platform: {model: {os_flavor: {...}},
//                                 "data": {chassis_type: {"cls": cls, "path": file}}}}}
//
// Registration, unregistration and lookup build the same key path from a
// device description and walk the tree along it: registration creates the
// missing nodes, lookup skips keys that are not registered, unregistration
// fails on them. "data" is the chassis map's key and never a path component.
//
// Each operation is its written steps in their order (tree.hpp answers each
// look into a node); on a plain instance and plain tree no step runs Python
// code, and the members' own C++ is called directly.
#include "module.hpp"
#include "text.hpp"
#include "tree.hpp"

namespace corvane {
namespace {

const char kNotFound[] = "Plugin data not found";

// The keys leading from the root to a description's node: os, then platform
// and model as present (None-tested, so "" counts), then os_flavor. The keys
// are the caller's arguments, alive for the whole call.
class KeyPath {
  public:
    KeyPath(PyObject* os, PyObject* platform, PyObject* model, PyObject* os_flavor) {
        keys_[size_++] = os;
        if (model != Py_None) {
            keys_[size_++] = platform;
            keys_[size_++] = model;
        } else if (platform != Py_None) {
            keys_[size_++] = platform;
        }
        if (os_flavor != Py_None) {
            keys_[size_++] = os_flavor;
        }
    }

    PyObject* const* begin() const { return keys_; }
    PyObject* const* end() const { return keys_ + size_; }

    // Whether every component is None or an exact str.
    bool inert() const {
        for (PyObject* key : *this) {
            if (!corvane::inert(key)) {
                return false;
            }
        }
        return true;
    }

    // The path as a list object, for the host's own formatting.
    Ref list() const {
        Ref list = Ref::steal(PyList_New(size_));
        for (int i = 0; list && i < size_; ++i) {
            PyList_SET_ITEM(list.get(), i, Py_NewRef(keys_[i]));
        }
        return list;
    }

  private:
    PyObject* keys_[4];
    int size_ = 0;
};

// 1 when a component equals the reserved chassis-map key, tested in order.
int has_reserved_key(Call& call, const KeyPath& key_path) {
    for (PyObject* key : key_path) {
        const int reserved = equals(call, key, names.data);
        if (reserved != 0) {
            return reserved;
        }
    }
    return 0;
}

// repr(value) of an inert value, written out.
int write_repr(Text& text, PyObject* value) {
    if (PyUnicode_CheckExact(value) && PyUnicode_IS_ASCII(value)) {
        const Py_UCS1* chars = PyUnicode_1BYTE_DATA(value);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        bool plain = true;
        for (Py_ssize_t i = 0; i < length && plain; ++i) {
            plain = chars[i] >= 0x20 && chars[i] < 0x7f && chars[i] != '\'' && chars[i] != '\\';
        }
        if (plain) {
            return text.append_ascii("'") < 0 || text.append(value) < 0 ? -1
                                                                        : text.append_ascii("'");
        }
    }
    Ref converted = Ref::steal(PyObject_Repr(value));
    return converted ? text.append(converted.get()) : -1;
}

// format(value, ""), written out: an exact str is itself.
int write_formatted(Call& call, Text& text, PyObject* value) {
    if (call.shortcut(PyUnicode_CheckExact(value))) {
        return text.append(value);
    }
    Ref formatted = Ref::steal(PyObject_Format(value, names.empty));
    return formatted ? text.append(formatted.get()) : -1;
}

// format(key_path, ""): the list as the host renders it, ['a', 'p'].
int write_key_path(Call& call, Text& text, const KeyPath& key_path) {
    if (call.shortcut(key_path.inert())) {
        if (text.append_ascii("[") < 0) {
            return -1;
        }
        int i = 0;
        for (PyObject* key : key_path) {
            if ((i++ > 0 && text.append_ascii(", ") < 0) || write_repr(text, key) < 0) {
                return -1;
            }
        }
        return text.append_ascii("]");
    }
    Ref list = key_path.list();
    return list ? write_formatted(call, text, list.get()) : -1;
}

// `getattr(value, name)`, formatted and written out.
int write_attribute(Call& call, Text& text, PyObject* value, PyObject* name) {
    Ref attribute = Ref::steal(PyObject_GetAttr(value, name));
    return attribute ? write_formatted(call, text, attribute.get()) : -1;
}

// log.debug(f" {existing.__name__} already registered for {key_path}, "
//           f"{cls.__name__} from {cls.__module__} is overriding this class")
int log_override(Call& call, PyObject* existing, const KeyPath& key_path, PyObject* cls) {
    return debug_line(call, [&] {
        Text text;
        if (text.append_ascii(" ") < 0 ||
            write_attribute(call, text, existing, names.__name__) < 0 ||
            text.append_ascii(" already registered for ") < 0 ||
            write_key_path(call, text, key_path) < 0 || text.append_ascii(", ") < 0 ||
            write_attribute(call, text, cls, names.__name__) < 0 ||
            text.append_ascii(" from ") < 0 ||
            write_attribute(call, text, cls, names.__module__) < 0 ||
            text.append_ascii(" is overriding this class") < 0) {
            return Ref();
        }
        return text.finish();
    });
}

// "Plugin data not found for (" + "/".join([str(key) for key in key_path])
// + "), type: " + str(chassis_type) + " "
Ref not_found_message(Call& call, const KeyPath& key_path, PyObject* chassis_type) {
    Text joined;
    if (joined.append_ascii("Plugin data not found for (") < 0) {
        return Ref();
    }
    int i = 0;
    for (PyObject* key : key_path) {
        Ref text = str_of(call, key);
        if (!text || (i++ > 0 && joined.append_ascii("/") < 0) || joined.append(text.get()) < 0) {
            return Ref();
        }
    }
    if (joined.append_ascii("), type: ") < 0) {
        return Ref();
    }
    if (call.shortcut(PyUnicode_CheckExact(chassis_type))) {
        // Exact strs all: the additions are one text.
        return joined.append(chassis_type) < 0 || joined.append_ascii(" ") < 0 ? Ref()
                                                                               : joined.finish();
    }
    Ref head = joined.finish();
    Ref type_text = head ? str_of(call, chassis_type) : Ref();
    Ref with_type = type_text ? add(call, head.get(), type_text.get()) : Ref();
    return with_type ? add(call, with_type.get(), names.blank) : Ref();
}

// sys.modules[type.__module__].__file__ when it is a non-empty str, as
// inspect.getfile reads it for a class: 1 and *file set; 0 when anything is
// out of the ordinary (inspect.getfile then decides); -1 on error. Every
// container is held while it is looked into: a key stored in it may run
// Python code when compared, and that code may drop it.
int module_file(PyTypeObject* type, Ref* file) {
    const Ref hold_type = Ref::borrow(reinterpret_cast<PyObject*>(type));
    const Ref class_dict = type_dict(type);
    if (!class_dict) {
        return 0;
    }
    Ref module_name;
    int found = dict_get(class_dict.get(), names.__module__, &module_name);
    if (found <= 0 || !PyUnicode_CheckExact(module_name.get())) {
        return found < 0 ? -1 : 0;
    }
    Ref modules;
    found = sys_modules(&modules);
    if (found <= 0 || !PyDict_CheckExact(modules.get())) {
        return found < 0 ? -1 : 0;
    }
    Ref module;
    found = dict_get(modules.get(), module_name.get(), &module);
    if (found <= 0 || !PyModule_CheckExact(module.get())) {
        return found < 0 ? -1 : 0;
    }
    const Ref module_dict = Ref::borrow(PyModule_GetDict(module.get()));
    found = dict_get(module_dict.get(), names.__file__, file);
    if (found <= 0) {
        return found;
    }
    if (!PyUnicode_CheckExact(file->get()) || PyUnicode_GET_LENGTH(file->get()) == 0) {
        file->reset();
        return 0;
    }
    return 1;
}

// getfile(cls), the function read from the namespace now. For a plain class,
// while that is still the standard function, its module's file is read as
// inspect.getfile reads it.
Ref class_file(Call& call, PyObject* cls) {
    call.shortcut(false);
    Ref getfile = global(names.getfile);
    if (!getfile) {
        return getfile;
    }
    if (is_standard_getfile(getfile.get()) && Py_IS_TYPE(cls, &PyType_Type) &&
        (reinterpret_cast<PyTypeObject*>(cls)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        Ref file;
        const int found = module_file(reinterpret_cast<PyTypeObject*>(cls), &file);
        if (found != 0) {
            return found < 0 ? Ref() : std::move(file);
        }
    }
    return Ref::steal(PyObject_CallOneArg(getfile.get(), cls));
}

// {"cls": cls, "path": file}
Ref make_leaf_record(PyObject* cls, PyObject* file) {
    Ref leaf = Ref::steal(PyDict_New());
    if (!leaf || PyDict_SetItem(leaf.get(), names.cls, cls) < 0 ||
        PyDict_SetItem(leaf.get(), names.path, file) < 0) {
        return Ref();
    }
    return leaf;
}

PyObject* none() {
    Py_RETURN_NONE;
}

}  // namespace

PyObject* manager_init(PyObject* self) {
    Ref tree = Ref::steal(PyDict_New());
    if (!tree || PyObject_SetAttr(self, names._plugins, tree.get()) < 0) {
        return nullptr;
    }
    Ref chassis = global(names.supported_chassis);
    if (!chassis || PyObject_SetAttr(self, names.chassis_type_list, chassis.get()) < 0) {
        return nullptr;
    }
    Ref os_list = global(names.supported_os);
    if (!os_list || PyObject_SetAttr(self, names.supported_os, os_list.get()) < 0) {
        return nullptr;
    }
    return none();
}

PyObject* plugins_getter(PyObject* self) {
    return PyObject_GetAttr(self, names._plugins);
}

PyObject* plugins_setter(PyObject* /*self*/, PyObject* /*value*/) {
    PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

PyObject* register_plugin(Call& call, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type) {
    if (check_description(call, os, platform, model, chassis_type) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    const int reserved = has_reserved_key(call, key_path);
    if (reserved != 0) {
        return reserved < 0 ? nullptr
                            : raise_error(call,
                                          "The name 'data' is reserved and cannot be used as os, "
                                          "platform, model or os_flavor");
    }
    // The file comes before the walk: a class it fails for leaves the tree
    // as it was.
    Ref file = class_file(call, cls);
    Ref node = file ? call.state(State::plugins) : Ref();
    if (!node) {
        return nullptr;
    }
    // Below a node this walk created, every node is new and empty: an exact
    // str is not among its keys, and is stored without running Python code.
    bool created = false;
    for (PyObject* key : key_path) {
        if (created && PyUnicode_CheckExact(key)) {
            Ref child = Ref::steal(PyDict_New());
            if (!child || PyDict_SetItem(node.get(), key, child.get()) < 0) {
                return nullptr;
            }
            node = std::move(child);
            continue;
        }
        node = node_child(call, node.get(), key, &created);
        if (!node) {
            return nullptr;
        }
    }
    Ref chassis_map;
    const int has_map = created ? 0 : node_get(call, node.get(), names.data, &chassis_map);
    if (has_map < 0) {
        return nullptr;
    }
    if (has_map) {
        Ref existing_leaf;
        const int replaced = node_get(call, chassis_map.get(), chassis_type, &existing_leaf);
        if (replaced < 0) {
            return nullptr;
        }
        if (replaced) {
            Ref existing = node_item(call, existing_leaf.get(), names.cls);
            if (!existing || log_override(call, existing.get(), key_path, cls) < 0) {
                return nullptr;
            }
        }
        Ref leaf = make_leaf_record(cls, file.get());
        if (!leaf || node_store(call, chassis_map.get(), chassis_type, leaf.get()) < 0 ||
            node_store(call, node.get(), names.data, chassis_map.get()) < 0) {
            return nullptr;
        }
        return none();
    }
    Ref leaf = make_leaf_record(cls, file.get());
    Ref new_map = leaf ? Ref::steal(PyDict_New()) : Ref();
    if (!new_map || PyDict_SetItem(new_map.get(), chassis_type, leaf.get()) < 0 ||
        node_store(call, node.get(), names.data, new_map.get()) < 0) {
        return nullptr;
    }
    return none();
}

PyObject* unregister_plugin(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type) {
    // The chassis type is not validated here: None means all of them.
    if (check_description(call, os, platform, model, names.single_rp) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    const int reserved = has_reserved_key(call, key_path);
    if (reserved != 0) {
        return reserved < 0 ? nullptr : raise_error(call, kNotFound);
    }
    Ref node = call.state(State::plugins);
    if (!node) {
        return nullptr;
    }
    for (PyObject* key : key_path) {
        Ref child;
        const int found = node_get(call, node.get(), key, &child);
        if (found <= 0) {
            return found < 0 ? nullptr : raise_error(call, kNotFound);
        }
        node = std::move(child);
    }
    // `"data" in node.keys()`, then either `del node["data"]` or
    // `node["data"]`: the identity test of the chassis type decides which,
    // and can come first.
    if (chassis_type == Py_None) {
        const int has_map = node_contains(call, node.get(), names.data);
        if (has_map <= 0) {
            return has_map < 0 ? nullptr : raise_error(call, kNotFound);
        }
        return node_delete(call, node.get(), names.data) < 0 ? nullptr : none();
    }
    Ref chassis_map;
    const int has_map = node_get(call, node.get(), names.data, &chassis_map);
    if (has_map <= 0) {
        return has_map < 0 ? nullptr : raise_error(call, kNotFound);
    }
    const int registered = node_contains(call, chassis_map.get(), chassis_type);
    if (registered <= 0) {
        return registered < 0
                   ? nullptr
                   : raise_error(
                         call,
                         [&] {
                             // One argument for the placeholder, whatever the chassis type is.
                             Ref args = Ref::steal(PyTuple_Pack(1, chassis_type));
                             return args ? percent(call, "Plugin data not found for %s", args.get())
                                         : Ref();
                         });
    }
    return node_delete(call, chassis_map.get(), chassis_type) < 0 ? nullptr : none();
}

PyObject* get_plugin(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type) {
    if (check_description(call, os, platform, model, chassis_type) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    Ref node = call.state(State::plugins);
    if (!node) {
        return nullptr;
    }
    for (PyObject* key : key_path) {
        // Unregistered keys are skipped, and so is "data", which names the
        // chassis map rather than a child.
        const int reserved = equals(call, key, names.data);
        if (reserved != 0) {
            if (reserved < 0) {
                return nullptr;
            }
            continue;
        }
        Ref child;
        const int found = node_get(call, node.get(), key, &child);
        if (found < 0) {
            return nullptr;
        }
        if (found) {
            node = std::move(child);
        }
    }
    Ref chassis_map;
    int found = node_get(call, node.get(), names.data, &chassis_map);
    Ref leaf;
    if (found > 0) {
        found = node_get(call, chassis_map.get(), chassis_type, &leaf);
    }
    if (found < 0) {
        return nullptr;
    }
    if (found) {
        return node_item(call, leaf.get(), names.cls).release();
    }
    return raise_error(call, [&] { return not_found_message(call, key_path, chassis_type); });
}

}  // namespace corvane
