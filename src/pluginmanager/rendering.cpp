// Rendering of the plugin tree as indented text.
//
//     def print_tree(self, data, output="plugin"):
//         if not data: return ""
//         if data == {}: return ""
//         if isinstance(data, dict):
//             sorted_keys = sorted(list(data.keys()))
//             last_key = sorted_keys[-1]
//             for key in sorted_keys:
//                 temp_output = self.print_tree(data=data[key], output="__ " + key)
//                 separator = "  " if key == last_key else "  |"
//                 for current_line, line in enumerate(temp_output.split("\n"), 1):
//                     if current_line == 1 and key == last_key: output += "\n  |" + line
//                     else: output += "\n" + separator + line
//             return output
//         return output + " = " + str(data)
//
// One renderer runs this rule for a whole tree with an explicit stack of
// invocations: a child is rendered in the same loop, not by a C call, for as
// long as self.print_tree is PluginManager's own. Only an override is called,
// with the C stack guarded.
//
// Its fast form serves a tree of exact dicts with exact-str keys and plain
// leaves: nothing in it can run Python code, so every line is written once
// into one buffer, with the indentation of all its ancestors. At the first
// step that is not inert, the invocations under way are read back from the
// buffer and the rest follows the rule as written: values read again, the
// override looked for before every child, each child's text split and added
// piece by piece with the host's operators.
#include <algorithm>
#include <cstring>
#include <new>

#include "module.hpp"
#include "text.hpp"
#include "tree.hpp"

namespace corvane {
namespace {

const char kFirstMark[] = "  |";
const char kBar[] = "  |";
const char kBlank[] = "  ";

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
    // The lead as a str, for the lines written so far to be read back.
    Ref text() const {
        return Ref::steal(PyUnicode_FromStringAndSize(data_, static_cast<Py_ssize_t>(size_)));
    }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Whether `cls` renders as str(cls) would with nothing able to run Python
// code: a heap class whose metaclass is exactly type, whose own namespace
// (exact-str keys) holds an exact-str __module__ other than builtins. Then
// *module is that name and *qualname the class's __qualname__.
bool plain_class_names(PyObject* cls, Ref* module, Ref* qualname) {
    if (!Py_IS_TYPE(cls, &PyType_Type)) {
        return false;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        return false;
    }
    const Ref class_dict = type_dict(type);
    PyObject* found = nullptr;
    if (!class_dict || plain_find(class_dict.get(), names.__module__, &found) != 1 ||
        !PyUnicode_CheckExact(found) || PyUnicode_CompareWithASCIIString(found, "builtins") == 0) {
        return false;
    }
    *module = Ref::borrow(found);
    *qualname = Ref::steal(PyType_GetQualName(type));
    if (!*qualname) {
        // Nothing to read: leave it to str().
        PyErr_Clear();
        return false;
    }
    return true;
}

// The invocations of print_tree under way, one per level of the tree.
struct Frame {
    Ref data;
    // Read at the start on the fast path: the entries, keys and values.
    SortedEntries entries;
    bool has_entries = false;
    // Otherwise the rule's own sorted keys, and their last.
    Ref keys;
    Ref last_key;
    Py_ssize_t next = 0;
    Ref key;  // the key whose child is being rendered
    // While the text is written into the buffer: where the frame's text
    // begins, where its current child's first line begins, and the length
    // of the indentation of its children's lines.
    size_t text_start = 0;
    size_t child_start = 0;
    size_t lead = 0;
    // Otherwise the frame's text so far.
    Ref output;

    Py_ssize_t count() const { return has_entries ? entries.size() : PyList_GET_SIZE(keys.get()); }
    PyObject* key_at(Py_ssize_t index) const {
        return has_entries ? entries.key(index) : PyList_GET_ITEM(keys.get(), index);
    }
    PyObject* last() const {
        return has_entries ? entries.key(entries.size() - 1) : last_key.get();
    }
};

class Renderer {
  public:
    explicit Renderer(Call& call) : call_(call) {}
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;
    ~Renderer() {
        while (depth_ > 0) {
            pop();
        }
        for (Py_ssize_t i = 0; i < allocated_; ++i) {
            PyMem_Free(frames_[i]);
        }
        PyMem_Free(frames_);
    }

    Ref render(PyObject* data, PyObject* output);

  private:
    // What starting an invocation gave: its text, or a frame pushed.
    enum class Started { error, text, frame };

    Frame& top() { return *frames_[depth_ - 1]; }
    Frame* push();
    void pop();

    // On the fast path: every step so far was inert, so the values read at
    // the start of each frame are still the tree's and print_tree is still
    // PluginManager's own.
    bool fast() const { return fast_ && call_.fast(); }
    void leave_fast() {
        fast_ = false;
        call_.shortcut(false);
    }
    // Every text concerned an exact str: the texts of the frames under way
    // are written into one buffer, each line with its whole indentation.
    // Leaving that, each frame gets its text so far as a str of its own.
    int leave_buffer();

    Started start_fast(PyObject* data, PyObject* output, Ref* text);
    Started start(PyObject* data, PyObject* output, Ref* text);
    int child_fast(Frame& frame);
    int child(Frame& frame);
    // The first line of a child frame, in the buffer.
    int open_child(Frame& frame, Frame& child, PyObject* heading, const char* continuation);
    // A child's finished text: into the buffer, or added to the frame's.
    int child_text(Frame& frame, PyObject* text, const char* continuation);
    int child_done(Frame& frame, PyObject* text);

    int first_line_start() { return lead_.write_to(out_) < 0 ? -1 : out_.append_ascii(kFirstMark); }
    int lines(PyObject* text, const char* continuation);

    Call& call_;
    Text out_;
    Lead lead_;
    bool fast_ = true;
    bool buffered_ = true;
    Frame** frames_ = nullptr;
    Py_ssize_t depth_ = 0;
    Py_ssize_t allocated_ = 0;
    Py_ssize_t capacity_ = 0;
};

// Every invocation counts towards the recursion limit, as the rule's own
// recursion would, although it takes no C stack.
Frame* Renderer::push() {
    if (Py_EnterRecursiveCall(" while rendering the plugin tree") != 0) {
        return nullptr;
    }
    if (depth_ == allocated_) {
        if (allocated_ == capacity_) {
            const Py_ssize_t capacity = 2 * capacity_ + 8;
            Frame** frames = static_cast<Frame**>(
                PyMem_Realloc(frames_, static_cast<size_t>(capacity) * sizeof(Frame*)));
            if (frames == nullptr) {
                Py_LeaveRecursiveCall();
                PyErr_NoMemory();
                return nullptr;
            }
            frames_ = frames;
            capacity_ = capacity;
        }
        void* memory = PyMem_Malloc(sizeof(Frame));
        if (memory == nullptr) {
            Py_LeaveRecursiveCall();
            PyErr_NoMemory();
            return nullptr;
        }
        frames_[allocated_++] = static_cast<Frame*>(memory);
    }
    return new (frames_[depth_++]) Frame();
}

void Renderer::pop() {
    frames_[--depth_]->~Frame();
    Py_LeaveRecursiveCall();
}

Ref Renderer::render(PyObject* data, PyObject* output) {
    const int own = call_.own();
    if (own < 0) {
        return Ref();
    }
    buffered_ = PyUnicode_CheckExact(output);
    fast_ = own == 1 && buffered_;
    Ref text;
    const Started started = fast() ? start_fast(data, output, &text) : start(data, output, &text);
    if (started != Started::frame) {
        return text;
    }
    if (buffered_ && (out_.append(output) < 0 || lead_.push("\n") < 0)) {
        return Ref();
    }
    top().lead = lead_.size();
    while (depth_ > 0) {
        Frame& frame = top();
        if (frame.next < frame.count()) {
            if ((fast() ? child_fast(frame) : child(frame)) < 0) {
                return Ref();
            }
            continue;
        }
        Ref finished = std::move(frame.output);
        pop();
        if (buffered_) {
            if (depth_ == 0) {
                return out_.finish();
            }
            lead_.truncate(top().lead);
            continue;
        }
        if (depth_ == 0) {
            return finished;
        }
        if (child_done(top(), finished.get()) < 0) {
            return Ref();
        }
    }
    return Ref();
}

// The steps up to the children, on inert data: `not data`, `data == {}` and
// the isinstance test answer themselves for an exact dict or str.
Renderer::Started Renderer::start_fast(PyObject* data, PyObject* output, Ref* text) {
    if (data == Py_None || (PyUnicode_CheckExact(data) && PyUnicode_GET_LENGTH(data) == 0) ||
        (PyDict_CheckExact(data) && PyDict_GET_SIZE(data) == 0)) {
        *text = Ref::borrow(names.empty);
        return Started::text;
    }
    if (PyUnicode_CheckExact(data)) {
        Ref head = Ref::steal(PyUnicode_Concat(output, names.leaf_mark));
        *text = head ? Ref::steal(PyUnicode_Concat(head.get(), data)) : Ref();
        return *text ? Started::text : Started::error;
    }
    if (PyDict_CheckExact(data)) {
        Frame* frame = push();
        if (frame == nullptr) {
            return Started::error;
        }
        frame->data = Ref::borrow(data);
        const int collected = frame->entries.collect(data);
        if (collected < 0) {
            return Started::error;
        }
        if (collected) {
            frame->has_entries = true;
            frame->output = Ref::borrow(output);
            return Started::frame;
        }
        pop();
    }
    // Not inert: the rule as written, from its first step.
    leave_fast();
    return start(data, output, text);
}

// One child on the fast path: its lines written straight into the buffer.
// A child that is not inert leaves the fast path, and is rendered again
// from its first step.
int Renderer::child_fast(Frame& frame) {
    const Py_ssize_t index = frame.next;
    PyObject* key = frame.entries.key(index);
    PyObject* value = frame.entries.value(index);
    const char* continuation = index == frame.entries.size() - 1 ? kBlank : kBar;
    Ref module;
    Ref qualname;
    const bool dict = PyDict_CheckExact(value);
    const bool leaf_str = PyUnicode_CheckExact(value);
    const bool leaf_class = !dict && !leaf_str && plain_class_names(value, &module, &qualname);
    if (!dict && !leaf_str && !leaf_class && value != Py_None) {
        leave_fast();
        return 0;
    }
    if (value == Py_None || (dict && PyDict_GET_SIZE(value) == 0) ||
        (leaf_str && PyUnicode_GET_LENGTH(value) == 0)) {
        // Renders as nothing: only the child's first-line mark remains.
        frame.next++;
        return first_line_start();
    }
    if (dict) {
        Frame* child = push();
        if (child == nullptr) {
            return -1;
        }
        child->data = Ref::borrow(value);
        const int collected = child->entries.collect(value);
        if (collected <= 0) {
            pop();
            if (collected == 0) {
                leave_fast();
            }
            return collected;
        }
        child->has_entries = true;
        frame.next++;
        // Read when the child's text is added to this frame's by the rule.
        frame.key = Ref::borrow(key);
        if (!has_newline(key)) {
            frame.child_start = out_.length();
            if (first_line_start() < 0) {
                return -1;
            }
            child->text_start = out_.length();
            if (out_.append(names.heading_mark) < 0 || out_.append(key) < 0 ||
                lead_.push(continuation) < 0) {
                return -1;
            }
            child->lead = lead_.size();
            return 0;
        }
        Ref heading = Ref::steal(PyUnicode_Concat(names.heading_mark, key));
        return heading ? open_child(frame, *child, heading.get(), continuation) : -1;
    }
    frame.next++;
    if (leaf_class && !has_newline(key) && !has_newline(module.get()) &&
        !has_newline(qualname.get())) {
        return first_line_start() < 0 || out_.append(names.heading_mark) < 0 ||
                       out_.append(key) < 0 || out_.append(names.leaf_mark) < 0 ||
                       out_.append_ascii("<class '") < 0 || out_.append(module.get()) < 0 ||
                       out_.append_ascii(".") < 0 || out_.append(qualname.get()) < 0
                   ? -1
                   : out_.append_ascii("'>");
    }
    if (leaf_str && !has_newline(key) && !has_newline(value)) {
        return first_line_start() < 0 || out_.append(names.heading_mark) < 0 ||
                       out_.append(key) < 0 || out_.append(names.leaf_mark) < 0
                   ? -1
                   : out_.append(value);
    }
    Ref text = leaf_class ? Ref::steal(PyObject_Str(value)) : Ref::borrow(value);
    Ref line = text ? Ref::steal(PyUnicode_Concat(names.heading_mark, key)) : Ref();
    line = line ? Ref::steal(PyUnicode_Concat(line.get(), names.leaf_mark)) : Ref();
    line = line ? Ref::steal(PyUnicode_Concat(line.get(), text.get())) : Ref();
    return line ? lines(line.get(), continuation) : -1;
}

int Renderer::open_child(Frame& frame, Frame& child, PyObject* heading, const char* continuation) {
    frame.child_start = out_.length();
    if (first_line_start() < 0) {
        return -1;
    }
    child.text_start = out_.length();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(heading);
    Py_ssize_t start = 0;
    while (true) {
        Py_ssize_t end = PyUnicode_FindChar(heading, '\n', start, length, 1);
        if (end == -2) {
            return -1;
        }
        if (end == -1) {
            end = length;
        }
        if (out_.append(heading, start, end) < 0) {
            return -1;
        }
        if (end == length) {
            break;
        }
        if (lead_.write_to(out_) < 0 || out_.append_ascii_text(continuation) < 0) {
            return -1;
        }
        start = end + 1;
    }
    if (lead_.push(continuation) < 0) {
        return -1;
    }
    child.lead = lead_.size();
    return 0;
}

// The lines of `text`, the first marked "  |", the rest `continuation`.
int Renderer::lines(PyObject* text, const char* continuation) {
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

// Every frame under way gets the text it would hold by now: its stretch of
// the buffer, without the indentation its ancestors add to each line. Every
// line break in the buffer is followed by the full indentation of its line,
// so dropping a frame's own lead after each break does it; the stretches of
// the frames do not overlap.
int Renderer::leave_buffer() {
    buffered_ = false;
    Ref buffer = out_.finish();
    if (!buffer) {
        return -1;
    }
    const size_t end_of_all = static_cast<size_t>(PyUnicode_GET_LENGTH(buffer.get()));
    // Deepest first: each frame's lead is a prefix of the next one's.
    for (Py_ssize_t i = depth_ - 1; i >= 0; --i) {
        Frame& frame = *frames_[i];
        const size_t end = i + 1 < depth_ ? frame.child_start : end_of_all;
        Ref stretch = Ref::steal(PyUnicode_Substring(
            buffer.get(), static_cast<Py_ssize_t>(frame.text_start), static_cast<Py_ssize_t>(end)));
        if (!stretch) {
            return -1;
        }
        if (frame.lead > 1) {
            lead_.truncate(frame.lead);
            Ref lead = lead_.text();
            Ref replaced =
                lead ? Ref::steal(PyUnicode_Replace(stretch.get(), lead.get(), names.newline, -1))
                     : Ref();
            if (!replaced) {
                return -1;
            }
            stretch = std::move(replaced);
        }
        frame.output = std::move(stretch);
    }
    return 0;
}

// `not data`, `data == {}`, `isinstance(data, dict)`, then either the leaf's
// text or the sorted keys of a new frame.
Renderer::Started Renderer::start(PyObject* data, PyObject* output, Ref* text) {
    const int present = truth(call_, data);
    if (present <= 0) {
        *text = present < 0 ? Ref() : Ref::borrow(names.empty);
        return *text ? Started::text : Started::error;
    }
    Ref empty = Ref::steal(PyDict_New());
    Ref equal = empty ? Ref::steal(PyObject_RichCompare(data, empty.get(), Py_EQ)) : Ref();
    const int is_empty = equal ? PyObject_IsTrue(equal.get()) : -1;
    if (is_empty != 0) {
        *text = is_empty < 0 ? Ref() : Ref::borrow(names.empty);
        return *text ? Started::text : Started::error;
    }
    const int mapping = is_instance(call_, data, &PyDict_Type);
    if (mapping < 0) {
        return Started::error;
    }
    if (!mapping) {
        Ref head = add(call_, output, names.leaf_mark);
        Ref value = head ? str_of(call_, data) : Ref();
        *text = value ? add(call_, head.get(), value.get()) : Ref();
        return *text ? Started::text : Started::error;
    }
    Ref keys;
    if (PyDict_CheckExact(data)) {
        keys = Ref::steal(PyDict_Keys(data));
    } else {
        Ref view = Ref::steal(PyObject_CallMethodNoArgs(data, names.keys));
        keys = view ? Ref::steal(PySequence_List(view.get())) : Ref();
    }
    if (!keys || PyList_Sort(keys.get()) < 0) {
        return Started::error;
    }
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    if (count == 0) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return Started::error;
    }
    Frame* frame = push();
    if (frame == nullptr) {
        return Started::error;
    }
    frame->last_key = Ref::borrow(PyList_GET_ITEM(keys.get(), count - 1));
    frame->keys = std::move(keys);
    frame->data = Ref::borrow(data);
    frame->output = Ref::borrow(output);
    return Started::frame;
}

// `temp_output = self.print_tree(data=data[key], output="__ " + key)`: the
// member looked up first, then the value and the heading. PluginManager's
// own print_tree continues in this loop; anything else is called.
int Renderer::child(Frame& frame) {
    frame.key = Ref::borrow(frame.key_at(frame.next++));
    const Ref key = Ref::borrow(frame.key.get());
    const Ref last_key = Ref::borrow(frame.last());
    Call probe(call_.self());
    const int own = probe.own();
    if (own < 0) {
        return -1;
    }
    Ref method;
    if (!own) {
        method = Ref::steal(PyObject_GetAttr(call_.self(), names.print_tree));
        if (!method) {
            return -1;
        }
    }
    const Ref data = Ref::borrow(frame.data.get());
    Ref value = node_item(call_, data.get(), key.get());
    Ref heading = value ? add(call_, names.heading_mark, key.get()) : Ref();
    if (!heading) {
        return -1;
    }
    // The child goes into the buffer when its key and the last are exact
    // strs: comparing them, before the child rather than after, is unseen.
    if (buffered_ && (!PyUnicode_CheckExact(key.get()) || !PyUnicode_CheckExact(last_key.get())) &&
        leave_buffer() < 0) {
        return -1;
    }
    const char* continuation = kBar;
    if (buffered_ && str_equal(key.get(), last_key.get())) {
        continuation = kBlank;
    }
    Ref text;
    if (own) {
        const Started started = start(value.get(), heading.get(), &text);
        if (started == Started::error) {
            return -1;
        }
        if (started == Started::frame) {
            return buffered_ ? open_child(*frames_[depth_ - 2], top(), heading.get(), continuation)
                             : 0;
        }
    } else {
        StackGuard guard(" while rendering the plugin tree");
        if (!guard.entered()) {
            return -1;
        }
        PyObject* args[] = {value.get(), heading.get()};
        text = Ref::steal(PyObject_Vectorcall(method.get(), args, 0, names.data_output));
        if (!text) {
            return -1;
        }
    }
    return child_text(top(), text.get(), continuation);
}

int Renderer::child_text(Frame& frame, PyObject* text, const char* continuation) {
    if (buffered_) {
        if (PyUnicode_CheckExact(text)) {
            return lines(text, continuation);
        }
        if (leave_buffer() < 0) {
            return -1;
        }
    }
    return child_done(frame, text);
}

// The child's text, split at "\n" and added to the frame's text line by line.
int Renderer::child_done(Frame& frame, PyObject* text) {
    const Ref key = Ref::borrow(frame.key.get());
    const Ref last_key = Ref::borrow(frame.last());
    const int is_last = equals(call_, key.get(), last_key.get());
    if (is_last < 0) {
        return -1;
    }
    Ref parts = call_.shortcut(PyUnicode_CheckExact(text))
                    ? Ref::steal(PyUnicode_Split(text, names.newline, -1))
                    : Ref::steal(PyObject_CallMethodOneArg(text, names.split, names.newline));
    Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref();
    Ref separator = Ref::steal(PyUnicode_FromString(is_last ? kBlank : kBar));
    Ref first_mark = Ref::steal(PyUnicode_FromString("\n  |"));
    if (!iterator || !separator || !first_mark) {
        return -1;
    }
    bool first = true;
    while (Ref line = Ref::steal(PyIter_Next(iterator.get()))) {
        int last_first = 0;
        if (first) {
            last_first = equals(call_, key.get(), last_key.get());
            if (last_first < 0) {
                return -1;
            }
        }
        Ref piece;
        if (last_first) {
            piece = add(call_, first_mark.get(), line.get());
        } else {
            Ref lead = add(call_, names.newline, separator.get());
            piece = lead ? add(call_, lead.get(), line.get()) : Ref();
        }
        // The frame is the top one: nothing was pushed since.
        Frame& target = top();
        if (!piece) {
            return -1;
        }
        if (call_.shortcut(PyUnicode_CheckExact(target.output.get()) &&
                           PyUnicode_CheckExact(piece.get()))) {
            // In place when the frame holds the only reference, as += does.
            PyObject* output = target.output.release();
            PyUnicode_Append(&output, piece.get());
            target.output = Ref::steal(output);
        } else {
            target.output = Ref::steal(PyNumber_InPlaceAdd(target.output.get(), piece.get()));
        }
        if (!target.output) {
            return -1;
        }
        first = false;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* print_tree(Call& call, PyObject* data, PyObject* output) {
    Renderer renderer(call);
    return renderer.render(data, output).release();
}

PyObject* manager_repr(Call& call) {
    // "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
    call.shortcut(false);
    PyObject* self = call.self();
    Ref cls = Ref::steal(PyObject_GetAttr(self, names.__class__));
    Ref class_text = cls ? str_of(call, cls.get()) : Ref();
    Ref start = class_text ? Ref::steal(PyUnicode_FromString("plugins (")) : Ref();
    Ref heading = start ? add(call, start.get(), class_text.get()) : Ref();
    Ref at = heading ? Ref::steal(PyUnicode_FromString(" at ")) : Ref();
    heading = at ? add(call, heading.get(), at.get()) : Ref();
    Ref hex_function = heading ? global(names.hex) : Ref();
    Ref id_function = hex_function ? global(names.id) : Ref();
    Ref identity = id_function ? Ref::steal(PyObject_CallOneArg(id_function.get(), self)) : Ref();
    Ref address =
        identity ? Ref::steal(PyObject_CallOneArg(hex_function.get(), identity.get())) : Ref();
    Ref address_text = address ? str_of(call, address.get()) : Ref();
    heading = address_text ? add(call, heading.get(), address_text.get()) : Ref();
    Ref close = heading ? Ref::steal(PyUnicode_FromString(") ")) : Ref();
    heading = close ? add(call, heading.get(), close.get()) : Ref();
    // self.print_tree(data=self._plugins, output=heading)
    Ref method = heading ? Ref::steal(PyObject_GetAttr(self, names.print_tree)) : Ref();
    Ref tree = method ? Ref::steal(PyObject_GetAttr(self, names._plugins)) : Ref();
    if (!tree) {
        return nullptr;
    }
    PyObject* args[] = {tree.get(), heading.get()};
    return PyObject_Vectorcall(method.get(), args, 0, names.data_output);
}

}  // namespace corvane
