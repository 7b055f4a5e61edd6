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
#include <algorithm>
#include <cstring>

#include "module.hpp"
#include "text.hpp"

namespace corvane {
namespace {

const char kFirstMark[] = "  |";
const char kBar[] = "  |";
const char kBlank[] = "  ";

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

bool has_newline(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        return std::memchr(PyUnicode_1BYTE_DATA(text), '\n', static_cast<size_t>(length)) !=
               nullptr;
    }
    return PyUnicode_FindChar(text, '\n', 0, length, 1) != -1;
}

// The entries of an exact dict whose keys are all exact strs, sorted by key,
// each key and value with a reference of its own. Reading and sorting them
// runs no Python code (strs compare by their characters), and a dict's keys
// are distinct, so this is the order sorted() gives.
class SortedEntries {
  public:
    SortedEntries() noexcept = default;
    SortedEntries(const SortedEntries&) = delete;
    SortedEntries& operator=(const SortedEntries&) = delete;
    ~SortedEntries() {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            Py_DECREF(entries_[i].key);
            Py_DECREF(entries_[i].value);
        }
        if (entries_ != inline_) {
            PyMem_Free(entries_);
        }
    }

    // 1 when collected; 0 when a key is not an exact str; -1 on error.
    int collect(PyObject* dict) {
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        if (size > kInline) {
            entries_ = static_cast<Entry*>(PyMem_Malloc(static_cast<size_t>(size) * sizeof(Entry)));
            if (entries_ == nullptr) {
                entries_ = inline_;
                PyErr_NoMemory();
                return -1;
            }
        }
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (size_ < size && PyDict_Next(dict, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return 0;
            }
            entries_[size_++] = {Py_NewRef(key), Py_NewRef(value)};
        }
        if (size_ <= kInsertionSorted) {
            sort(entries_, size_, nullptr);
            return 1;
        }
        Entry* scratch =
            static_cast<Entry*>(PyMem_Malloc(static_cast<size_t>(size_) * sizeof(Entry)));
        if (scratch == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        sort(entries_, size_, scratch);
        PyMem_Free(scratch);
        return 1;
    }

    Py_ssize_t size() const { return size_; }
    PyObject* key(Py_ssize_t i) const { return entries_[i].key; }
    PyObject* value(Py_ssize_t i) const { return entries_[i].value; }

  private:
    struct Entry {
        PyObject* key;
        PyObject* value;
    };
    // The order of two exact strs, by code point; Latin-1 text compares
    // bytewise.
    static int compare_str(PyObject* left, PyObject* right) {
        if (PyUnicode_KIND(left) == PyUnicode_1BYTE_KIND &&
            PyUnicode_KIND(right) == PyUnicode_1BYTE_KIND) {
            const Py_ssize_t left_length = PyUnicode_GET_LENGTH(left);
            const Py_ssize_t right_length = PyUnicode_GET_LENGTH(right);
            // Keys are short: compared in place rather than by a call.
            const Py_UCS1* left_chars = PyUnicode_1BYTE_DATA(left);
            const Py_UCS1* right_chars = PyUnicode_1BYTE_DATA(right);
            const Py_ssize_t common = std::min(left_length, right_length);
            for (Py_ssize_t i = 0; i < common; ++i) {
                if (left_chars[i] != right_chars[i]) {
                    return left_chars[i] < right_chars[i] ? -1 : 1;
                }
            }
            return left_length < right_length ? -1 : left_length > right_length ? 1 : 0;
        }
        return PyUnicode_Compare(left, right);
    }
    // Sorts by key: insertion into place for a few entries, merging sorted
    // halves through `scratch` (room for `size` entries) for more.
    static void sort(Entry* entries, Py_ssize_t size, Entry* scratch) {
        if (size <= kInsertionSorted) {
            for (Py_ssize_t i = 1; i < size; ++i) {
                const Entry entry = entries[i];
                Py_ssize_t j = i;
                for (; j > 0 && compare_str(entries[j - 1].key, entry.key) > 0; --j) {
                    entries[j] = entries[j - 1];
                }
                entries[j] = entry;
            }
            return;
        }
        const Py_ssize_t half = size / 2;
        sort(entries, half, scratch);
        sort(entries + half, size - half, scratch);
        Py_ssize_t left = 0;
        Py_ssize_t right = half;
        for (Py_ssize_t i = 0; i < size; ++i) {
            const bool take_left =
                right == size ||
                (left < half && compare_str(entries[left].key, entries[right].key) < 0);
            scratch[i] = entries[take_left ? left++ : right++];
        }
        std::memcpy(entries, scratch, static_cast<size_t>(size) * sizeof(Entry));
    }

    static constexpr Py_ssize_t kInline = 8;
    // Up to this many entries, sorted by insertion without scratch space.
    static constexpr Py_ssize_t kInsertionSorted = 16;
    Entry inline_[kInline];
    Entry* entries_ = inline_;
    Py_ssize_t size_ = 0;
};

// The names str(cls) shows for a heap class whose metaclass is type, as
// type's repr takes them: "<class 'module.qualname'>", or, with *module
// left empty, "<class 'name'>" for builtins or a class without a str
// __module__.
// 1 when found and free of line breaks, 0 when the class is rendered
// through str() instead, -1 on error.
int class_names(PyObject* cls, Ref* module, Ref* name) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    const Ref class_dict = type_dict(type);
    if (class_dict && dict_get(class_dict.get(), names.__module__, module) < 0) {
        PyErr_Clear();
    }
    if (*module && (!PyUnicode_Check(module->get()) ||
                    PyUnicode_CompareWithASCIIString(module->get(), "builtins") == 0)) {
        module->reset();
    }
    // A heap class's name in its type slot is its __name__.
    *name = Ref::steal(*module ? PyType_GetQualName(type) : PyType_GetName(type));
    if (!*name) {
        return -1;
    }
    return !has_newline(name->get()) && !(*module && has_newline(module->get()));
}

// Whether str() of a leaf runs no Python code: an exact str is itself, and
// a class whose metaclass is type renders from its own names.
bool plain_leaf(PyObject* value) {
    return PyUnicode_CheckExact(value) || Py_IS_TYPE(value, &PyType_Type);
}

// self.print_tree(data=value, output=heading): the C++ directly when it is
// not overridden.
Ref render_child(Instance& self, PyObject* value, PyObject* heading) {
    const int own = self.own();
    if (own < 0) {
        return Ref();
    }
    if (own) {
        return Ref::steal(print_tree(self, value, heading));
    }
    PyObject* args[] = {value, heading};
    return self.call(Member::print_tree, args, 0, names.data_output);
}

// The indentation of the level being written: "\n" and the marks of all
// its ancestors.
class Lead {
  public:
    Lead() noexcept = default;
    Lead(const Lead&) = delete;
    Lead& operator=(const Lead&) = delete;
    ~Lead() { PyMem_Free(data_); }

    int push(const char* mark) {
        const size_t length = std::strlen(mark);
        if (size_ + length > capacity_) {
            const size_t capacity = 2 * (size_ + length) + 32;
            char* data = static_cast<char*>(PyMem_Realloc(data_, capacity));
            if (data == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            data_ = data;
            capacity_ = capacity;
        }
        std::memcpy(data_ + size_, mark, length);
        size_ += length;
        return 0;
    }
    size_t size() const { return size_; }
    void truncate(size_t size) { size_ = size; }
    int write_to(Text& out) const { return out.append_ascii(data_, size_); }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Writes the children of a mapping line by line: "\n", the ancestors'
// indentation, the child's own mark, the line.
class TreeWriter {
  public:
    explicit TreeWriter(Instance& self) : self_(self) {}

    int start(PyObject* output) { return lead_.push("\n") < 0 ? -1 : out_.append(output); }
    Ref finish() const { return out_.finish(); }

    // The children of a non-empty mapping, one level below the current one.
    int children(PyObject* data) {
        RecursionGuard guard;
        if (!guard.entered) {
            return -1;
        }
        SortedEntries entries;
        const int collected = PyDict_CheckExact(data) ? entries.collect(data) : 0;
        if (collected < 0) {
            return -1;
        }
        if (collected) {
            const Py_ssize_t count = entries.size();
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyObject* key = entries.key(i);
                // The value read with the keys stays the dict's value until
                // Python code runs; after that it is looked up again.
                Ref value = python_ran_ ? item(data, key) : Ref::borrow(entries.value(i));
                if (!value || child(key, value.get(), i == count - 1 ? kBlank : kBar) < 0) {
                    return -1;
                }
            }
            return 0;
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
            Ref value = item(data, key.get());
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
        // Anything but an exact str key with an exact dict or a plain leaf
        // below, or an override made meanwhile, takes the general rule.
        const int own = self_.own();
        if (own < 0) {
            return -1;
        }
        if (!own || !PyUnicode_CheckExact(key) ||
            (!PyDict_CheckExact(value) && !plain_leaf(value))) {
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
            } else if (first_line_start() < 0 || out_.append(names.heading_mark) < 0 ||
                       out_.append(key) < 0) {
                return -1;
            }
            const size_t depth = lead_.size();
            if (lead_.push(continuation) < 0) {
                return -1;
            }
            const int written = children(value);
            lead_.truncate(depth);
            return written;
        }
        if (!PyUnicode_CheckExact(value) &&
            (reinterpret_cast<PyTypeObject*>(value)->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
            !has_newline(key)) {
            // A class: its text written straight into the buffer.
            Ref module;
            Ref name;
            const int named = class_names(value, &module, &name);
            if (named < 0) {
                return -1;
            }
            if (named) {
                if (first_line_start() < 0 || out_.append(names.heading_mark) < 0 ||
                    out_.append(key) < 0 || out_.append(names.leaf_mark) < 0 ||
                    out_.append_ascii("<class '") < 0) {
                    return -1;
                }
                const int written =
                    module ? (out_.append(module.get()) < 0 || out_.append_ascii(".") < 0 ||
                                      out_.append(name.get()) < 0
                                  ? -1
                                  : 0)
                           : out_.append(name.get());
                return written < 0 ? -1 : out_.append_ascii("'>");
            }
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
        if (first_line_start() < 0 || out_.append(names.heading_mark) < 0 || out_.append(key) < 0 ||
            out_.append(names.leaf_mark) < 0) {
            return -1;
        }
        return out_.append(text.get());
    }

    int first_line_start() { return lead_.write_to(out_) < 0 ? -1 : out_.append_ascii(kFirstMark); }

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
            if (lead_.write_to(out_) < 0 || out_.append_ascii_text(mark) < 0 ||
                out_.append(text, start, end) < 0) {
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
        // Adding, rendering and splitting may all run Python code.
        self_.python_may_have_run();
        python_ran_ = true;
        Ref heading = Ref::steal(PyNumber_Add(names.heading_mark, key));
        if (!heading) {
            return -1;
        }
        Ref text = render_child(self_, value, heading.get());
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
            if (lead_.write_to(out_) < 0 || out_.append(piece.get()) < 0) {
                return -1;
            }
            mark = continuation;
        }
        return PyErr_Occurred() ? -1 : 0;
    }

    Instance& self_;
    Text out_;
    Lead lead_;
    bool python_ran_ = false;
};

// The rule as written, with every child rendered through self.print_tree:
// used when print_tree is overridden or the heading is not a plain str.
PyObject* render_general(Instance& self, PyObject* data, PyObject* output) {
    self.python_may_have_run();
    const int mapping = is_instance(data, &PyDict_Type);
    if (mapping < 0) {
        return nullptr;
    }
    if (mapping) {
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
            Ref value = item(data, key.get());
            Ref heading = value ? Ref::steal(PyNumber_Add(names.heading_mark, key.get())) : Ref();
            if (!heading) {
                return nullptr;
            }
            Ref text = render_child(self, value.get(), heading.get());
            self.python_may_have_run();
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

PyObject* print_tree(Instance& self, PyObject* data, PyObject* output) {
    RecursionGuard guard;
    if (!guard.entered) {
        return nullptr;
    }
    if (!PyDict_CheckExact(data) && !plain_leaf(data)) {
        // Its truth and equality tests may run Python code.
        self.python_may_have_run();
    }
    const int empty = renders_empty(data);
    if (empty != 0) {
        return empty < 0 ? nullptr : Py_NewRef(names.empty);
    }
    const int own = self.own();
    if (own < 0) {
        return nullptr;
    }
    if (!own || !PyUnicode_CheckExact(output)) {
        return render_general(self, data, output);
    }
    if (!PyDict_Check(data)) {
        // An object that only claims to be a dict takes the general rule.
        const int mapping = is_instance(data, &PyDict_Type);
        if (mapping != 0) {
            return mapping < 0 ? nullptr : render_general(self, data, output);
        }
        Ref text = Ref::steal(PyObject_Str(data));
        Ref head = text ? Ref::steal(PyUnicode_Concat(output, names.leaf_mark)) : Ref();
        return head ? PyUnicode_Concat(head.get(), text.get()) : nullptr;
    }
    TreeWriter writer(self);
    if (writer.start(output) < 0 || writer.children(data) < 0) {
        return nullptr;
    }
    return writer.finish().release();
}

PyObject* manager_repr(Instance& self) {
    Ref cls = Ref::steal(PyObject_GetAttr(self.self(), names.__class__));
    Ref class_text = cls ? Ref::steal(PyObject_Str(cls.get())) : Ref();
    Ref id_function = class_text ? global(names.id) : Ref();
    Ref identity =
        id_function ? Ref::steal(PyObject_CallOneArg(id_function.get(), self.self())) : Ref();
    Ref hex_function = identity ? global(names.hex) : Ref();
    Ref address =
        hex_function ? Ref::steal(PyObject_CallOneArg(hex_function.get(), identity.get())) : Ref();
    Ref address_text = address ? Ref::steal(PyObject_Str(address.get())) : Ref();
    Ref heading = address_text ? Ref::steal(PyUnicode_FromFormat(
                                     "plugins (%U at %U) ", class_text.get(), address_text.get()))
                               : Ref();
    // Building the heading may have run Python code.
    self.python_may_have_run();
    Ref tree = heading ? self.state(State::plugins) : Ref();
    if (!tree) {
        return nullptr;
    }
    return render_child(self, tree.get(), heading.get()).release();
}

}  // namespace corvane
