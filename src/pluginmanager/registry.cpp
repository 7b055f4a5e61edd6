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
#include "text.hpp"

namespace corvane {
namespace {

const char kNotFound[] = "Plugin data not found";

// str(value), written out.
int write_str(Text& text, PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return text.append(value);
    }
    Ref converted = Ref::steal(PyObject_Str(value));
    return converted ? text.append(converted.get()) : -1;
}

// repr(value), written out; a str of printable ASCII without quotes or
// backslashes is quoted directly, as repr() would quote it.
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

    // The path as the host renders a list, ['a', 'p']: the repr of each key.
    int write_list(Text& text) const {
        if (text.append_ascii("[") < 0) {
            return -1;
        }
        for (int i = 0; i < size_; ++i) {
            if ((i > 0 && text.append_ascii(", ") < 0) || write_repr(text, keys_[i]) < 0) {
                return -1;
            }
        }
        return text.append_ascii("]");
    }

    // Whether comparing the components runs no Python code.
    bool inert() const {
        for (PyObject* key : *this) {
            if (!corvane::inert(key)) {
                return false;
            }
        }
        return true;
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
    int write_joined(Text& text) const {
        for (int i = 0; i < size_; ++i) {
            if ((i > 0 && text.append_ascii("/") < 0) || write_str(text, keys_[i]) < 0) {
                return -1;
            }
        }
        return 0;
    }

  private:
    PyObject* keys_[4];
    int size_ = 0;
};

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
    const Ref modules = sys_modules();
    if (!modules || !PyDict_CheckExact(modules.get())) {
        return 0;
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

// inspect.getfile(cls), the function read from the namespace now. For a
// plain class, while that is still the standard function, its module's file
// is read directly.
Ref class_file(PyObject* cls) {
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

// node[key] = value: a dict directly, another mapping through its own item
// assignment.
int set_item(PyObject* node, PyObject* key, PyObject* value) {
    return PyDict_CheckExact(node) ? PyDict_SetItem(node, key, value)
                                   : PyObject_SetItem(node, key, value);
}

// format(value, ""), written out.
int write_formatted(Text& text, PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return text.append(value);
    }
    Ref formatted = Ref::steal(PyObject_Format(value, names.empty));
    return formatted ? text.append(formatted.get()) : -1;
}

int log_override(PyObject* existing_leaf, const KeyPath& key_path, PyObject* cls) {
    Ref existing = item(existing_leaf, names.cls);
    Ref existing_name =
        existing ? Ref::steal(PyObject_GetAttr(existing.get(), names.__name__)) : Ref();
    Ref new_name = existing_name ? Ref::steal(PyObject_GetAttr(cls, names.__name__)) : Ref();
    Ref new_module = new_name ? Ref::steal(PyObject_GetAttr(cls, names.__module__)) : Ref();
    if (!new_module) {
        return -1;
    }
    // " {} already registered for {}, {} from {} is overriding this class"
    // .format(...): each field is format(value, ""), which is str(value) for
    // the objects str.format is given here (a str, the key path list).
    Text text;
    if (text.append_ascii(" ") < 0 || write_formatted(text, existing_name.get()) < 0 ||
        text.append_ascii(" already registered for ") < 0 || key_path.write_list(text) < 0 ||
        text.append_ascii(", ") < 0 || write_formatted(text, new_name.get()) < 0 ||
        text.append_ascii(" from ") < 0 || write_formatted(text, new_module.get()) < 0 ||
        text.append_ascii(" is overriding this class") < 0) {
        return -1;
    }
    Ref message = text.finish();
    return message ? log_debug(message.get()) : -1;
}

// "Plugin data not found for (a/p), type: single_rp "
Ref not_found_message(const KeyPath& key_path, PyObject* chassis_type) {
    if (key_path.inert() && PyUnicode_CheckExact(chassis_type)) {
        // Every piece a str already (a None key aside): one concatenation.
        PyObject* pieces[12];
        int count = 0;
        pieces[count++] = names.not_found_prefix;
        bool plain = true;
        for (PyObject* key : key_path) {
            plain = plain && key != Py_None;
            if (count > 1) {
                pieces[count++] = names.slash;
            }
            pieces[count++] = key;
        }
        if (plain) {
            pieces[count++] = names.not_found_type;
            pieces[count++] = chassis_type;
            pieces[count++] = names.blank;
            return concat(pieces, count);
        }
    }
    Text text;
    if (text.append_ascii("Plugin data not found for (") < 0 || key_path.write_joined(text) < 0 ||
        text.append_ascii("), type: ") < 0 || write_str(text, chassis_type) < 0 ||
        text.append_ascii(" ") < 0) {
        return Ref();
    }
    return text.finish();
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

PyObject* register_plugin(Instance& self, PyObject* cls, PyObject* os, PyObject* platform,
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
    // The file comes first: a class it fails for must leave the tree as it
    // was. Python code run by it or by the reserved-key test does not make
    // the view stale: the tree read next is the one the walk would have
    // started from, had it been read right after validation.
    Ref file = class_file(cls);
    if (!file) {
        return nullptr;
    }
    Ref node = self.state(State::plugins);
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
            if (!child || set_item(node.get(), key, child.get()) < 0) {
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
        Ref existing_leaf;
        const int replaced = node_lookup(chassis_map.get(), chassis_type, &existing_leaf);
        if (replaced < 0 || (replaced && log_override(existing_leaf.get(), key_path, cls) < 0)) {
            return nullptr;
        }
        Ref leaf = make_leaf_record(cls, file.get());
        if (!leaf || set_item(chassis_map.get(), chassis_type, leaf.get()) < 0 ||
            set_item(node.get(), names.data, chassis_map.get()) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref leaf = make_leaf_record(cls, file.get());
    Ref new_map = leaf ? Ref::steal(PyDict_New()) : Ref();
    if (!new_map || PyDict_SetItem(new_map.get(), chassis_type, leaf.get()) < 0 ||
        set_item(node.get(), names.data, new_map.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* unregister_plugin(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
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
    Ref node = self.state(State::plugins);
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

PyObject* get_plugin(Instance& self, PyObject* os, PyObject* platform, PyObject* model,
                     PyObject* os_flavor, PyObject* chassis_type) {
    if (check_description(self, os, platform, model, chassis_type) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    Ref node = self.state(State::plugins);
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
        return item(leaf.get(), names.cls).release();
    }
    Ref message = not_found_message(key_path, chassis_type);
    return message ? raise_connection_error(message.get()) : nullptr;
}

}  // namespace corvane
