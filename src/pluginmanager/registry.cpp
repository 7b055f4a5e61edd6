// The plugin tree and the operations on it.
//
//     _plugins = {os: {platform: {model: {os_flavor: {...}},
//                                 "data": {chassis_type: {"cls": cls, "path": file}}}}}
//
// Registration, unregistration and lookup build the same key path from a
// device description and walk the tree along it: registration creates the
// missing nodes, lookup skips keys that are not registered, unregistration
// fails on them. "data" is the chassis map's key and never a path component.
#include "module.hpp"

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

    // The path as the host renders a list: ['a', 'p'].
    Ref to_list() const {
        Ref list = Ref::steal(PyList_New(size_));
        if (list) {
            for (int i = 0; i < size_; ++i) {
                PyList_SET_ITEM(list.get(), i, Py_NewRef(keys_[i]));
            }
        }
        return list;
    }

    // 1 when a component equals the reserved chassis-map key.
    int has_reserved_key() const {
        for (PyObject* key : *this) {
            const int reserved = equals(key, names.data);
            if (reserved != 0) {
                return reserved;
            }
        }
        return 0;
    }

    // The components converted with str() and joined with "/".
    Ref joined() const {
        Ref parts = Ref::steal(PyList_New(size_));
        if (!parts) {
            return parts;
        }
        for (int i = 0; i < size_; ++i) {
            PyObject* text = PyObject_Str(keys_[i]);
            if (text == nullptr) {
                return Ref();
            }
            PyList_SET_ITEM(parts.get(), i, text);
        }
        return Ref::steal(PyUnicode_Join(names.slash, parts.get()));
    }

  private:
    PyObject* keys_[4];
    int size_ = 0;
};

// self.validate_arguments(os, platform, model, chassis_type), by position.
int check_description(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                      PyObject* chassis_type) {
    const int own = members_are_own(self);
    if (own != 0) {
        Ref result =
            own > 0
                ? Ref::steal(validate_description(self, os, platform, model, chassis_type, true))
                : Ref();
        return result ? 0 : -1;
    }
    Resolved method = resolve(self, Member::validate_arguments);
    if (!method) {
        return -1;
    }
    if (method.is_own()) {
        Ref result = Ref::steal(validate_arguments(self, os, platform, model, chassis_type));
        return result ? 0 : -1;
    }
    PyObject* args[] = {os, platform, model, chassis_type};
    Ref result = method.call(self, args, 4, nullptr);
    return result ? 0 : -1;
}

// What inspect.getfile(cls) returns for an ordinary class: the __file__ of
// the module it was defined in. Taken directly only when the namespace's
// getfile is still the standard one and nothing but dict reads is involved;
// everything else goes through the function.
Ref class_file(PyObject* cls) {
    Ref getfile = global(names.getfile);
    if (!getfile) {
        return getfile;
    }
    if (getfile.get() == standard_getfile && Py_IS_TYPE(cls, &PyType_Type) &&
        (reinterpret_cast<PyTypeObject*>(cls)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyObject* type_dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
        PyObject* module_name = PyDict_GetItemWithError(type_dict, names.__module__);
        PyObject* module = nullptr;
        if (module_name != nullptr && PyUnicode_CheckExact(module_name)) {
            module = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name);
        }
        if (module != nullptr && PyModule_CheckExact(module)) {
            PyObject* file = PyDict_GetItemWithError(PyModule_GetDict(module), names.__file__);
            if (file != nullptr && PyUnicode_CheckExact(file) && PyUnicode_GET_LENGTH(file) > 0) {
                return Ref::borrow(file);
            }
        }
        if (PyErr_Occurred()) {
            return Ref();
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

int log_override(PyObject* existing_leaf, const KeyPath& key_path, PyObject* cls) {
    Ref existing = Ref::steal(PyObject_GetItem(existing_leaf, names.cls));
    Ref existing_name =
        existing ? Ref::steal(PyObject_GetAttr(existing.get(), names.__name__)) : Ref();
    Ref path_list = existing_name ? key_path.to_list() : Ref();
    Ref new_name = path_list ? Ref::steal(PyObject_GetAttr(cls, names.__name__)) : Ref();
    Ref new_module = new_name ? Ref::steal(PyObject_GetAttr(cls, names.__module__)) : Ref();
    if (!new_module) {
        return -1;
    }
    // " {} already registered for {}, {} from {} is overriding this class"
    // .format(...): each field is format(value, ""), as str.format does.
    static PyObject* texts[5];
    if (texts[4] == nullptr) {
        const char* const words[] = {" ", " already registered for ", ", ", " from ",
                                     " is overriding this class"};
        for (int i = 0; i < 5; ++i) {
            if (texts[i] == nullptr &&
                (texts[i] = PyUnicode_InternFromString(words[i])) == nullptr) {
                return -1;
            }
        }
    }
    PyObject* const fields[] = {existing_name.get(), path_list.get(), new_name.get(),
                                new_module.get()};
    Ref pieces = Ref::steal(PyTuple_New(9));
    if (!pieces) {
        return -1;
    }
    for (int i = 0; i < 9; ++i) {
        PyObject* piece =
            i % 2 == 0 ? Py_NewRef(texts[i / 2]) : PyObject_Format(fields[i / 2], names.empty);
        if (piece == nullptr) {
            return -1;
        }
        PyTuple_SET_ITEM(pieces.get(), i, piece);
    }
    Ref text = Ref::steal(PyUnicode_Join(names.empty, pieces.get()));
    return text ? log_debug(text.get()) : -1;
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
    Py_RETURN_NONE;
}

PyObject* plugins_getter(PyObject* self) {
    return PyObject_GetAttr(self, names._plugins);
}

PyObject* plugins_setter(PyObject* /*self*/, PyObject* /*value*/) {
    PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

PyObject* register_plugin(PyObject* self, PyObject* cls, PyObject* os, PyObject* platform,
                          PyObject* model, PyObject* os_flavor, PyObject* chassis_type) {
    if (check_description(self, os, platform, model, chassis_type) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    const int reserved = key_path.has_reserved_key();
    if (reserved != 0) {
        return reserved < 0 ? nullptr
                            : raise_connection_error(
                                  "The name 'data' is reserved and cannot be used as os, "
                                  "platform, model or os_flavor");
    }
    // The file comes first: a class it fails for must leave the tree as it was.
    Ref file = class_file(cls);
    if (!file) {
        return nullptr;
    }
    Ref node = state_attribute(self, names._plugins);
    if (!node) {
        return nullptr;
    }
    for (PyObject* key : key_path) {
        Ref child;
        const int found = node_lookup(node.get(), key, &child);
        if (found < 0) {
            return nullptr;
        }
        if (found == 0) {
            child = Ref::steal(PyDict_New());
            if (!child || PyObject_SetItem(node.get(), key, child.get()) < 0) {
                return nullptr;
            }
            // A mapping of another kind may store something other than
            // what it was given: walk on with what it holds.
            if (!PyDict_CheckExact(node.get())) {
                child = Ref::steal(PyObject_GetItem(node.get(), key));
                if (!child) {
                    return nullptr;
                }
            }
        }
        node = std::move(child);
    }
    Ref chassis_map;
    const int has_map = node_lookup(node.get(), names.data, &chassis_map);
    if (has_map < 0) {
        return nullptr;
    }
    if (has_map) {
        const int replaced = node_contains(chassis_map.get(), chassis_type);
        if (replaced < 0) {
            return nullptr;
        }
        if (replaced) {
            Ref existing_leaf = Ref::steal(PyObject_GetItem(chassis_map.get(), chassis_type));
            if (!existing_leaf || log_override(existing_leaf.get(), key_path, cls) < 0) {
                return nullptr;
            }
        }
        Ref leaf = make_leaf_record(cls, file.get());
        if (!leaf || PyObject_SetItem(chassis_map.get(), chassis_type, leaf.get()) < 0 ||
            PyObject_SetItem(node.get(), names.data, chassis_map.get()) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref leaf = make_leaf_record(cls, file.get());
    Ref new_map = leaf ? Ref::steal(PyDict_New()) : Ref();
    if (!new_map || PyDict_SetItem(new_map.get(), chassis_type, leaf.get()) < 0 ||
        PyObject_SetItem(node.get(), names.data, new_map.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* unregister_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type) {
    // The chassis type is not validated here: None means all of them.
    if (check_description(self, os, platform, model, names.single_rp) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    const int reserved = key_path.has_reserved_key();
    if (reserved != 0) {
        return reserved < 0 ? nullptr : raise_connection_error(kNotFound);
    }
    Ref node = state_attribute(self, names._plugins);
    if (!node) {
        return nullptr;
    }
    for (PyObject* key : key_path) {
        Ref child;
        const int found = node_lookup(node.get(), key, &child);
        if (found <= 0) {
            return found < 0 ? nullptr : raise_connection_error(kNotFound);
        }
        node = std::move(child);
    }
    if (chassis_type == Py_None) {
        const int has_map = node_contains(node.get(), names.data);
        if (has_map <= 0) {
            return has_map < 0 ? nullptr : raise_connection_error(kNotFound);
        }
        if (PyObject_DelItem(node.get(), names.data) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref chassis_map;
    const int has_map = node_lookup(node.get(), names.data, &chassis_map);
    if (has_map <= 0) {
        return has_map < 0 ? nullptr : raise_connection_error(kNotFound);
    }
    const int registered = node_contains(chassis_map.get(), chassis_type);
    if (registered < 0) {
        return nullptr;
    }
    if (!registered) {
        // One argument for the placeholder, whatever the chassis type is.
        Ref format = Ref::steal(PyUnicode_FromString("Plugin data not found for %s"));
        Ref args = format ? Ref::steal(PyTuple_Pack(1, chassis_type)) : Ref();
        Ref message = args ? Ref::steal(PyUnicode_Format(format.get(), args.get())) : Ref();
        return message ? raise_connection_error(message.get()) : nullptr;
    }
    if (PyObject_DelItem(chassis_map.get(), chassis_type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* get_plugin(PyObject* self, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type) {
    if (check_description(self, os, platform, model, chassis_type) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    Ref node = state_attribute(self, names._plugins);
    if (!node) {
        return nullptr;
    }
    for (PyObject* key : key_path) {
        // Unregistered keys are skipped, and so is "data", which names the
        // chassis map rather than a child.
        const int reserved = equals(key, names.data);
        if (reserved != 0) {
            if (reserved < 0) {
                return nullptr;
            }
            continue;
        }
        Ref child;
        const int found = node_lookup(node.get(), key, &child);
        if (found < 0) {
            return nullptr;
        }
        if (found) {
            node = std::move(child);
        }
    }
    Ref chassis_map;
    int found = node_lookup(node.get(), names.data, &chassis_map);
    Ref leaf;
    if (found > 0) {
        found = node_lookup(chassis_map.get(), chassis_type, &leaf);
    }
    if (found < 0) {
        return nullptr;
    }
    if (found) {
        if (PyDict_CheckExact(leaf.get())) {
            PyObject* cls = PyDict_GetItemWithError(leaf.get(), names.cls);
            if (cls != nullptr) {
                return Py_NewRef(cls);
            }
            if (!PyErr_Occurred()) {
                PyErr_SetObject(PyExc_KeyError, names.cls);
            }
            return nullptr;
        }
        return PyObject_GetItem(leaf.get(), names.cls);
    }
    Ref joined = key_path.joined();
    Ref type_text = joined ? Ref::steal(PyObject_Str(chassis_type)) : Ref();
    Ref message = type_text
                      ? Ref::steal(PyUnicode_FromFormat("Plugin data not found for (%U), type: %U ",
                                                        joined.get(), type_text.get()))
                      : Ref();
    return message ? raise_connection_error(message.get()) : nullptr;
}

}  // namespace corvane
