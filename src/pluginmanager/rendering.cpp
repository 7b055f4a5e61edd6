// Rendering of the plugin tree as indented text.
//
// The text of a mapping is its heading followed by the lines of each child
// (in sorted key order), where a child's text is rendered with the heading
// "__ <key>" and each of its lines is indented: the first with "  |", the
// others with "  |" too, except below the last child, where the bar stops
// and two blanks are used. Empty and falsy values render as nothing at all.
//
// When print_tree is not overridden, the whole tree is written into one
// buffer, each line getting the indentation of all its ancestors at once.
// Otherwise every child goes through self.print_tree, as the rule reads.
#include <string>

#include "module.hpp"

namespace corvane {
namespace {

const char kFirstMark[] = "  |";
const char kBar[] = "  |";
const char kBlank[] = "  ";

class Writer {
  public:
    Writer() {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;  // grow geometrically: the text is built piece by piece
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() {
        if (!finished_) {
            _PyUnicodeWriter_Dealloc(&writer_);
        }
    }
    int text(PyObject* str) { return _PyUnicodeWriter_WriteStr(&writer_, str); }
    int part(PyObject* str, Py_ssize_t start, Py_ssize_t end) {
        return _PyUnicodeWriter_WriteSubstring(&writer_, str, start, end);
    }
    int ascii(const char* text, size_t length) {
        return _PyUnicodeWriter_WriteASCIIString(&writer_, text, static_cast<Py_ssize_t>(length));
    }
    int ascii(const std::string& text) { return ascii(text.data(), text.size()); }
    Ref finish() {
        finished_ = true;
        return Ref::steal(_PyUnicodeWriter_Finish(&writer_));
    }

  private:
    _PyUnicodeWriter writer_;
    bool finished_ = false;
};

struct RecursionGuard {
    int entered;
    RecursionGuard() : entered(Py_EnterRecursiveCall(" while rendering the plugin tree") == 0) {}
    ~RecursionGuard() {
        if (entered) {
            Py_LeaveRecursiveCall();
        }
    }
};

// 1 when `data` renders as the empty string: falsy, or equal to {}.
int renders_empty(PyObject* data) {
    const int present = truth(data);
    if (present <= 0) {
        return present < 0 ? -1 : 1;
    }
    // A non-empty dict or str cannot equal {}, nor can an object compared
    // by identity only (classes among them); anything else is asked.
    if (PyDict_CheckExact(data) || PyUnicode_CheckExact(data) ||
        Py_TYPE(data)->tp_richcompare == PyBaseObject_Type.tp_richcompare) {
        return 0;
    }
    Ref empty = Ref::steal(PyDict_New());
    Ref equal = empty ? Ref::steal(PyObject_RichCompare(data, empty.get(), Py_EQ)) : Ref();
    return equal ? truth(equal.get()) : -1;
}

// sorted(list(data.keys())), and its last element.
Ref sorted_keys(PyObject* data, PyObject** last_key) {
    Ref keys;
    if (PyDict_CheckExact(data)) {
        keys = Ref::steal(PyDict_Keys(data));
    } else {
        Ref view = Ref::steal(PyObject_CallMethodNoArgs(data, names.keys));
        keys = view ? Ref::steal(PySequence_List(view.get())) : Ref();
    }
    if (!keys || PyList_Sort(keys.get()) < 0) {
        return Ref();
    }
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    if (count == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return Ref();
    }
    *last_key = PyList_GET_ITEM(keys.get(), count - 1);
    return keys;
}

Ref value_of(PyObject* data, PyObject* key) {
    if (PyDict_CheckExact(data)) {
        PyObject* value = PyDict_GetItemWithError(data, key);
        if (value == nullptr && !PyErr_Occurred()) {
            Ref args = Ref::steal(PyTuple_Pack(1, key));
            if (args) {
                PyErr_SetObject(PyExc_KeyError, args.get());
            }
        }
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_GetItem(data, key));
}

bool has_newline(PyObject* text) {
    return PyUnicode_FindChar(text, '\n', 0, PyUnicode_GET_LENGTH(text), 1) != -1;
}

// Writes the children of a mapping line by line: "\n", the ancestors'
// indentation, the child's own mark, the line. `lead_` holds "\n" and the
// indentation of the level being written.
class TreeWriter {
  public:
    explicit TreeWriter(PyObject* self) : self_(self), lead_("\n") {}

    Writer& out() { return out_; }

    // The children of a non-empty mapping, one level below the current one.
    int children(PyObject* data) {
        RecursionGuard guard;
        if (!guard.entered) {
            return -1;
        }
        PyObject* last_key = nullptr;
        Ref keys = sorted_keys(data, &last_key);
        if (!keys) {
            return -1;
        }
        Ref last = Ref::borrow(last_key);
        const Py_ssize_t count = PyList_GET_SIZE(keys.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
            Ref value = value_of(data, key.get());
            if (!value) {
                return -1;
            }
            const int is_last = equals(key.get(), last.get());
            if (is_last < 0 || child(key.get(), value.get(), is_last ? kBlank : kBar) < 0) {
                return -1;
            }
        }
        return 0;
    }

  private:
    int child(PyObject* key, PyObject* value, const char* continuation) {
        // Anything but an exact str key with an exact dict or a leaf below
        // takes the general rule (which builds the heading first).
        if (!PyUnicode_CheckExact(key) || (PyDict_Check(value) && !PyDict_CheckExact(value))) {
            return general_child(key, value, continuation);
        }
        const int empty = renders_empty(value);
        if (empty != 0) {
            return empty < 0 ? -1 : first_line_start();
        }
        if (PyDict_CheckExact(value)) {
            if (has_newline(key)) {
                Ref heading = Ref::steal(PyUnicode_Concat(names.heading_mark, key));
                if (!heading || lines(heading.get(), continuation) < 0) {
                    return -1;
                }
            } else if (first_line_start() < 0 || out_.text(names.heading_mark) < 0 ||
                       out_.text(key) < 0) {
                return -1;
            }
            const size_t depth = lead_.size();
            lead_ += continuation;
            const int written = children(value);
            lead_.resize(depth);
            return written;
        }
        Ref text = Ref::steal(PyObject_Str(value));
        if (!text) {
            return -1;
        }
        if (has_newline(key) || has_newline(text.get())) {
            Ref line = Ref::steal(PyUnicode_Concat(names.heading_mark, key));
            line = line ? Ref::steal(PyUnicode_Concat(line.get(), names.leaf_mark)) : Ref();
            line = line ? Ref::steal(PyUnicode_Concat(line.get(), text.get())) : Ref();
            return line ? lines(line.get(), continuation) : -1;
        }
        if (first_line_start() < 0 || out_.text(names.heading_mark) < 0 || out_.text(key) < 0 ||
            out_.text(names.leaf_mark) < 0) {
            return -1;
        }
        return out_.text(text.get());
    }

    int first_line_start() {
        return out_.ascii(lead_) < 0 ? -1 : out_.ascii(kFirstMark, sizeof(kFirstMark) - 1);
    }

    // The lines of `text`, the first marked "  |", the rest `continuation`.
    int lines(PyObject* text, const char* continuation) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        Py_ssize_t start = 0;
        const char* mark = kFirstMark;
        while (true) {
            Py_ssize_t end = PyUnicode_FindChar(text, '\n', start, length, 1);
            if (end == -2) {
                return -1;
            }
            if (end == -1) {
                end = length;
            }
            if (out_.ascii(lead_) < 0 ||
                out_.ascii(mark, std::char_traits<char>::length(mark)) < 0 ||
                out_.part(text, start, end) < 0) {
                return -1;
            }
            if (end == length) {
                return 0;
            }
            start = end + 1;
            mark = continuation;
        }
    }

    // self.print_tree(data=value, output="__ " + key), split at "\n".
    int general_child(PyObject* key, PyObject* value, const char* continuation) {
        Ref heading = Ref::steal(PyNumber_Add(names.heading_mark, key));
        if (!heading) {
            return -1;
        }
        Ref text = Ref::steal(print_tree(self_, value, heading.get()));
        Ref parts =
            text ? Ref::steal(PyObject_CallMethodOneArg(text.get(), names.split, names.newline))
                 : Ref();
        Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref();
        if (!iterator) {
            return -1;
        }
        const char* mark = kFirstMark;
        while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
            Ref mark_text = Ref::steal(PyUnicode_FromString(mark));
            Ref piece = mark_text ? Ref::steal(PyNumber_Add(mark_text.get(), line.get())) : Ref();
            if (!piece) {
                return -1;
            }
            if (!PyUnicode_Check(piece.get())) {
                PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str",
                             Py_TYPE(piece.get())->tp_name);
                return -1;
            }
            if (out_.ascii(lead_) < 0 || out_.text(piece.get()) < 0) {
                return -1;
            }
            mark = continuation;
        }
        return PyErr_Occurred() ? -1 : 0;
    }

    PyObject* self_;
    Writer out_;
    std::string lead_;
};

// The rule as written, with every child rendered through self.print_tree:
// used when print_tree is overridden or the heading is not a plain str.
PyObject* render_general(PyObject* self, PyObject* data, PyObject* output) {
    if (PyDict_Check(data)) {
        PyObject* last_key = nullptr;
        Ref keys = sorted_keys(data, &last_key);
        if (!keys) {
            return nullptr;
        }
        Ref last = Ref::borrow(last_key);
        Ref result = Ref::borrow(output);
        Ref bar = Ref::steal(PyUnicode_FromString(kBar));
        Ref blank = Ref::steal(PyUnicode_FromString(kBlank));
        if (!bar || !blank) {
            return nullptr;
        }
        const Py_ssize_t count = PyList_GET_SIZE(keys.get());
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
            Ref value = value_of(data, key.get());
            Ref heading = value ? Ref::steal(PyNumber_Add(names.heading_mark, key.get())) : Ref();
            if (!heading) {
                return nullptr;
            }
            Resolved method = resolve(self, Member::print_tree);
            if (!method) {
                return nullptr;
            }
            Ref text;
            if (method.is_own()) {
                text = Ref::steal(print_tree(self, value.get(), heading.get()));
            } else {
                PyObject* args[] = {value.get(), heading.get()};
                text = method.call(self, args, 0, names.data_output);
            }
            const int is_last = text ? equals(key.get(), last.get()) : -1;
            if (is_last < 0) {
                return nullptr;
            }
            PyObject* separator = is_last ? blank.get() : bar.get();
            Ref parts =
                Ref::steal(PyObject_CallMethodOneArg(text.get(), names.split, names.newline));
            Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref();
            if (!iterator) {
                return nullptr;
            }
            bool first = true;
            while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
                Ref lead = Ref::steal(PyNumber_Add(names.newline, first ? bar.get() : separator));
                Ref piece = lead ? Ref::steal(PyNumber_Add(lead.get(), line.get())) : Ref();
                result = piece ? Ref::steal(PyNumber_InPlaceAdd(result.get(), piece.get())) : Ref();
                if (!result) {
                    return nullptr;
                }
                first = false;
            }
            if (PyErr_Occurred()) {
                return nullptr;
            }
        }
        return result.release();
    }
    Ref head = Ref::steal(PyNumber_Add(output, names.leaf_mark));
    Ref text = head ? Ref::steal(PyObject_Str(data)) : Ref();
    return text ? PyNumber_Add(head.get(), text.get()) : nullptr;
}

}  // namespace

PyObject* print_tree(PyObject* self, PyObject* data, PyObject* output) {
    RecursionGuard guard;
    if (!guard.entered) {
        return nullptr;
    }
    const int empty = renders_empty(data);
    if (empty != 0) {
        return empty < 0 ? nullptr : Py_NewRef(names.empty);
    }
    Resolved method = resolve(self, Member::print_tree);
    if (!method) {
        return nullptr;
    }
    if (!method.is_own() || !PyUnicode_CheckExact(output)) {
        return render_general(self, data, output);
    }
    if (!PyDict_Check(data)) {
        Ref text = Ref::steal(PyObject_Str(data));
        Ref head = text ? Ref::steal(PyUnicode_Concat(output, names.leaf_mark)) : Ref();
        return head ? PyUnicode_Concat(head.get(), text.get()) : nullptr;
    }
    TreeWriter writer(self);
    if (writer.out().text(output) < 0 || writer.children(data) < 0) {
        return nullptr;
    }
    return writer.out().finish().release();
}

PyObject* manager_repr(PyObject* self) {
    Ref cls = Ref::steal(PyObject_GetAttr(self, names.__class__));
    Ref class_text = cls ? Ref::steal(PyObject_Str(cls.get())) : Ref();
    Ref id_function = class_text ? global(names.id) : Ref();
    Ref identity = id_function ? Ref::steal(PyObject_CallOneArg(id_function.get(), self)) : Ref();
    Ref hex_function = identity ? global(names.hex) : Ref();
    Ref address =
        hex_function ? Ref::steal(PyObject_CallOneArg(hex_function.get(), identity.get())) : Ref();
    Ref address_text = address ? Ref::steal(PyObject_Str(address.get())) : Ref();
    Ref heading = address_text ? Ref::steal(PyUnicode_FromFormat(
                                     "plugins (%U at %U) ", class_text.get(), address_text.get()))
                               : Ref();
    Ref tree = heading ? state_attribute(self, names._plugins) : Ref();
    if (!tree) {
        return nullptr;
    }
    Resolved method = resolve(self, Member::print_tree);
    if (!method) {
        return nullptr;
    }
    if (method.is_own()) {
        return print_tree(self, tree.get(), heading.get());
    }
    PyObject* args[] = {tree.get(), heading.get()};
    return method.call(self, args, 0, names.data_output).release();
}

}  // namespace corvane
