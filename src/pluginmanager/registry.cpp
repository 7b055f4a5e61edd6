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
// Each operation is its written steps in their order (call.hpp); on a plain
// instance the validators are PluginManager's own, called directly, and the
// state is read from the instance as it was examined.
#include "registry.hpp"

#include "memo.hpp"
#include "text.hpp"
#include "validation.hpp"

namespace corvane {
namespace {

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

    // The path as a list object, as the written rules hold it.
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

// format(value, "") written out, as str.format writes a field: an exact str
// is itself, and a list of exact strs its repr, made of the items' own
// reprs; anything else formats itself.
int write_field(Call& call, TextBuilder& text, PyObject* value) {
    const bool plain_list = PyList_CheckExact(value) && locked(value, [&] {
                                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
                                    if (!PyUnicode_CheckExact(PyList_GET_ITEM(value, i))) {
                                        return false;
                                    }
                                }
                                return true;
                            });
    if (!call.step<Step::format>(PyUnicode_CheckExact(value) || plain_list)) {
        Ref formatted = Ref::steal(PyObject_Format(value, names.empty));
        return formatted ? text.append(formatted.get()) : -1;
    }
    if (!plain_list) {
        return text.append(value);
    }
    // The key path's own list: no one else changes it.
    if (text.append_ascii("[", 1) < 0) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        Ref item = Ref::steal(PyObject_Repr(PyList_GET_ITEM(value, i)));
        if (!item || (i > 0 && text.append(names.comma_blank) < 0) || text.append(item.get()) < 0) {
            return -1;
        }
    }
    return text.append_ascii("]", 1);
}

// log.debug(" {} already registered for {}, {} from {} is overriding this class"
//           .format(existing.__name__, key_path, cls.__name__, cls.__module__))
//
// The arguments are read first, then each field is formatted in turn and
// written with the text around it, as str.format does.
int log_override(Call& call, PyObject* existing, const KeyPath& key_path, PyObject* cls) {
    return debug_line(call, [&] {
        Ref values[4] = {Ref::steal(PyObject_GetAttr(existing, names.__name__))};
        values[1] = values[0] ? key_path.list() : Ref();
        values[2] = values[1] ? Ref::steal(PyObject_GetAttr(cls, names.__name__)) : Ref();
        values[3] = values[2] ? Ref::steal(PyObject_GetAttr(cls, names.__module__)) : Ref();
        if (!values[3]) {
            return Ref();
        }
        PyObject* const around[] = {names.overriding_0, names.overriding_1, names.overriding_2,
                                    names.overriding_3, names.overriding_4};
        TextBuilder text;
        for (int i = 0; i < 5; ++i) {
            if (text.append(around[i]) < 0 ||
                (i < 4 && write_field(call, text, values[i].get()) < 0)) {
                return Ref();
            }
        }
        return text.finish();
    });
}

// "Plugin data not found for (" + "/".join([str(key) for key in key_path])
// + "), type: " + str(chassis_type) + " "
Ref not_found_message(Call& call, const KeyPath& key_path, PyObject* chassis_type) {
    bool plain = PyUnicode_CheckExact(chassis_type);
    for (PyObject* key : key_path) {
        plain = plain && PyUnicode_CheckExact(key);
    }
    if (call.step<Step::not_found>(plain)) {
        // Exact strs all: str() of each is itself, and the additions are
        // one text.
        TextBuilder text;
        int failed = text.append(names.not_found_path);
        int index = 0;
        for (PyObject* key : key_path) {
            failed =
                failed < 0 || (index++ > 0 && text.append(names.slash) < 0) || text.append(key) < 0
                    ? -1
                    : 0;
        }
        if (failed < 0 || text.append(names.not_found_type) < 0 || text.append(chassis_type) < 0 ||
            text.append(names.blank) < 0) {
            return Ref();
        }
        return text.finish();
    }
    Ref keys = key_path.list();
    if (!keys) {
        return keys;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        Ref text = str_of(call, PyList_GET_ITEM(keys.get(), i));
        if (!text) {
            return text;
        }
        PyList_SetItem(keys.get(), i, text.release());
    }
    Ref joined = Ref::steal(PyUnicode_Join(names.slash, keys.get()));
    Ref message = joined ? text_and_str(call, names.not_found_path, joined.get()) : Ref();
    message = message ? add(call, message.get(), names.not_found_type) : Ref();
    Ref type_text = message ? str_of(call, chassis_type) : Ref();
    message = type_text ? add(call, message.get(), type_text.get()) : Ref();
    return message ? add(call, message.get(), names.blank) : Ref();
}

// getfile(cls), the function read from the namespace now.
Ref class_file(Call& call, PyObject* cls) {
    call.written<Step::getfile>();
    Ref getfile = global(names.getfile);
    return getfile ? Ref::steal(PyObject_CallOneArg(getfile.get(), cls)) : Ref();
}

// {"cls": cls, "path": file}
Ref make_leaf_record(PyObject* cls, PyObject* file) {
    Ref leaf = Ref::steal(PyDict_New());
    if (!leaf || PyDict_SetItem(leaf.get(), names.cls, cls) < 0 ||
        PyDict_SetItem(leaf.get(), names.path, file) < 0) {
        return Ref();
    }
    // Noted once filled, with two exact-str keys: no watcher is told of it.
    note_made(leaf.get());
    return leaf;
}

PyObject* none() {
    Py_RETURN_NONE;
}

// The class a lookup of the same description in the same tree found, while
// nothing it read can have changed (memo.hpp); nullptr otherwise.
PyObject* remembered(Call& call, const Description& description) {
    sentinel::step(Step::memo);
    if (!call.bound_at_once() || !description.kept() || call.own() != 1) {
        return nullptr;
    }
    PyObject* cls = remembered_lookup(description, sentinel::planted(Step::memo));
    if (cls != nullptr) {
        sentinel::took(Step::memo);
    }
    return cls;
}

}  // namespace

PyObject* manager_init(Call& call) {
    call.written<Step::init>();
    PyObject* self = call.self();
    Ref tree = new_node();
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

PyObject* plugins_getter(Call& call) {
    return call.state(State::plugins).release();
}

PyObject* plugins_setter(Call& /*call*/, PyObject* /*value*/) {
    PyErr_SetString(PyExc_Exception, texts::kProtected);
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
        return reserved < 0 ? nullptr : raise_error(call, names.reserved);
    }
    // The file comes before the walk: a class it fails for leaves the tree
    // as it was.
    Ref file = class_file(call, cls);
    Ref node = file ? call.state(State::plugins) : Ref();
    if (!node) {
        return nullptr;
    }
    for (PyObject* key : key_path) {
        node = node_child(call, node.get(), key);
        if (!node) {
            return nullptr;
        }
    }
    Ref chassis_map;
    const int has_map = node_get(call, node.get(), names.data, &chassis_map);
    if (has_map < 0) {
        return nullptr;
    }
    if (has_map) {
        const int replaced = node_contains(call, chassis_map.get(), chassis_type);
        if (replaced < 0) {
            return nullptr;
        }
        if (replaced) {
            Ref existing_leaf = node_item(call, chassis_map.get(), chassis_type);
            Ref existing = existing_leaf ? node_item(call, existing_leaf.get(), names.cls) : Ref();
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
    if (!new_map || PyDict_SetItem(new_map.get(), chassis_type, leaf.get()) < 0) {
        return nullptr;
    }
    // Noted once filled, when its one key is an exact str.
    if (PyUnicode_CheckExact(chassis_type)) {
        note_made(new_map.get());
    }
    if (node_store(call, node.get(), names.data, new_map.get()) < 0) {
        return nullptr;
    }
    return none();
}

PyObject* unregister_plugin(Call& call, PyObject* os, PyObject* platform, PyObject* model,
                            PyObject* os_flavor, PyObject* chassis_type) {
    // The chassis type is not validated here: None means all of them.
    if (check_description(call, os, platform, model, names.default_chassis_type) < 0) {
        return nullptr;
    }
    const KeyPath key_path(os, platform, model, os_flavor);
    const int reserved = has_reserved_key(call, key_path);
    if (reserved != 0) {
        return reserved < 0 ? nullptr : raise_error(call, names.not_found);
    }
    Ref node = call.state(State::plugins);
    if (!node) {
        return nullptr;
    }
    for (PyObject* key : key_path) {
        Ref child;
        const int found = node_get(call, node.get(), key, &child);
        if (found <= 0) {
            return found < 0 ? nullptr : raise_error(call, names.not_found);
        }
        node = std::move(child);
    }
    const int has_map = node_contains(call, node.get(), names.data);
    if (has_map <= 0) {
        return has_map < 0 ? nullptr : raise_error(call, names.not_found);
    }
    if (chassis_type == Py_None) {
        return node_delete(call, node.get(), names.data) < 0 ? nullptr : none();
    }
    Ref chassis_map = node_item(call, node.get(), names.data);
    const int registered = chassis_map ? node_contains(call, chassis_map.get(), chassis_type) : -1;
    if (registered <= 0) {
        return registered < 0
                   ? nullptr
                   : raise_error(
                         call,
                         [&] { return percent_one(call, names.not_found_for, chassis_type); });
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
    PyObject* const description_values[] = {os, platform, model, os_flavor, chassis_type};
    const Description description(node.get(), description_values);
    if (PyObject* cls = remembered(call, description)) {
        return Py_NewRef(cls);
    }
    // Whether every dict the walk reads was made here, whose values change
    // only as a watcher is told (proofs.hpp): only such a walk is kept.
    bool made = description.kept() && made_here(node.get());
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
            made = made && made_here(node.get());
        }
    }
    // if "data" in node.keys() and chassis_type in node["data"].keys():
    //     return node["data"][chassis_type]["cls"]
    Ref chassis_map;
    Ref leaf;
    int found = node_get(call, node.get(), names.data, &chassis_map);
    if (found > 0) {
        found = node_contains(call, chassis_map.get(), chassis_type, &leaf);
    }
    if (found < 0) {
        return nullptr;
    }
    if (found) {
        chassis_map = node_item_again(call, node.get(), names.data, chassis_map.get());
        leaf = chassis_map ? node_item_again(call, chassis_map.get(), chassis_type, leaf.get())
                           : Ref();
        Ref cls = leaf ? node_item(call, leaf.get(), names.cls) : Ref();
        // Found on shortcut steps only (own() stays 1 only while the call is
        // on its fast path): every dict it read is watched.
        if (cls && made && made_here(chassis_map.get()) && made_here(leaf.get()) &&
            call.bound_at_once() && call.own() == 1) {
            remember_lookup(description, cls.get());
        }
        return cls.release();
    }
    return raise_error(call, [&] { return not_found_message(call, key_path, chassis_type); });
}

}  // namespace corvane
