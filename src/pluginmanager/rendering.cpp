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
//                 current_line = 1
//                 for line in temp_output.split("\n"):
//                     if current_line == 1 and key == last_key:
//                         output += "\n  |" + line
//                     else:
//                         output += "\n" + separator + line
//                     current_line += 1
//             return output
//         return output + " = " + str(data)
//
// A render is made by one of two renderers, chosen once for the whole tree:
//
// - The fast renderer serves a tree of exact dicts with exact-str keys and
//   plain leaves (None, exact strs, classes whose text no Python code takes
//   part in), rendered by PluginManager's own print_tree into an exact str.
//   Nothing of such a tree can run Python code, so it reads the tree once
//   and writes every line once into one text (text.hpp), with the
//   indentation of all its ancestors. When it meets anything else, the
//   written renderer goes on from there, each level's text and sorted keys
//   as the rule holds them at that point.
// - Every so many children it completes, the fast renderer stops at a safe
//   point and lets pending signals be handled, as the rule lets them be
//   between two children (CPython checks for them in the str() of every
//   class it writes). It goes on only where nothing the handlers ran can
//   have changed what it has read: the dicts under way unchanged (proofs.hpp)
//   and the instance still plain. Otherwise the written renderer goes on.
// - The written renderer follows the rule step by step with the host's
//   operators: `self.print_tree` looked up for every child, every value read
//   when the rule reads it, an override called (PluginManager's own
//   print_tree continues in the same loop, on frames of its own).
//
// Both count the rule's recursion themselves and raise RecursionError where
// the written recursion would: beyond sys.getrecursionlimit() Python frames.
#include "rendering.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "proofs.hpp"
#include "text.hpp"

namespace corvane {
namespace {

// ---- The rule's recursion ----

// The levels of the renders under way on this thread. A render that an
// override calls nests in the one that called it: in the written rule every
// level is a frame of its own, so the outer renders' levels count too.
thread_local int t_levels = 0;

// The levels of the rule's recursion in one render, counted against the
// recursion limit as the written recursion's frames would be: the Python
// frames below the render (counted once, when the render first enters a
// level), the levels of the renders it is nested in, and its own.
class Levels {
  public:
    Levels() noexcept : outer_(t_levels) {}
    Levels(const Levels&) = delete;
    Levels& operator=(const Levels&) = delete;
    ~Levels() { t_levels = outer_; }

    // Enters one level deeper, a frame of the written recursion; -1 with
    // RecursionError where the written recursion would raise it.
    int enter() {
        if (check(level_ + 1) < 0) {
            return -1;
        }
        t_levels = outer_ + ++level_;
        return 0;
    }
    void leave() { t_levels = outer_ + --level_; }

    // The limit is read again at the next level: Python code that ran in
    // between (a signal's handler) may have changed it.
    void refresh() { allowed_ = -1; }

    // The level entered has data that is truthy, so that the written rule
    // calls into C from it (`data == {}`), which counts against the same
    // limit where calls into C do (kCallsIntoCCount): -1 with
    // RecursionError where it would raise it.
    int call_into_c() { return kCallsIntoCCount ? check(level_ + 1) : 0; }

  private:
    int check(int depth) {
        if (allowed_ < 0) {
            allowed_ = recursion_room() - outer_;
        }
        if (depth > allowed_) {
            PyErr_SetString(PyExc_RecursionError, texts::kDepth);
            return -1;
        }
        return 0;
    }

    const int outer_;
    int level_ = 0;
    int allowed_ = -1;  // not asked yet
};

// ---- The fast renderer ----

// The entries of an exact dict whose keys are all exact strs, sorted by key,
// each key and value with a reference of its own. Reading and sorting them
// runs no Python code (strs compare by their characters, as CPython's own
// comparison says), and a dict's keys are distinct, so this is the order
// sorted() gives.
class Entries {
  public:
    Entries() noexcept = default;
    Entries(const Entries&) = delete;
    Entries& operator=(const Entries&) = delete;
    ~Entries() {
        for (Py_ssize_t i = 0; i < size_; ++i) {
            Py_DECREF(entries_[i].key);
            Py_DECREF(entries_[i].value);
        }
        if (entries_ != inline_) {
            PyMem_Free(entries_);
        }
    }

    // 1 when read; 0 when a key is not an exact str; -1 on error.
    int read(PyObject* dict) {
        const Py_ssize_t size = PyDict_GET_SIZE(dict);
        if (size > kInline) {
            void* memory = PyMem_Malloc(static_cast<size_t>(size) * sizeof(Entry));
            if (memory == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            entries_ = static_cast<Entry*>(memory);
        }
        // A dict grown since its size was read is left to the written renderer.
        const bool all_str =
            each_str_key(dict, [&](PyObject* key, PyObject* value) CORVANE_INLINE_LAMBDA {
                if (size_ == size) {
                    return false;
                }
                entries_[size_++] = {Py_NewRef(key), Py_NewRef(value)};
                return true;
            });
        if (!all_str) {
            return 0;
        }
        std::sort(entries_, entries_ + size_, [](const Entry& left, const Entry& right) {
            return PyUnicode_Compare(left.key, right.key) < 0;
        });
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
    static constexpr Py_ssize_t kInline = 8;
    Entry inline_[kInline];
    Entry* entries_ = inline_;
    Py_ssize_t size_ = 0;
};

bool has_newline(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        return std::memchr(PyUnicode_1BYTE_DATA(text), '\n', static_cast<size_t>(length)) !=
               nullptr;
    }
    return PyUnicode_FindChar(text, '\n', 0, length, 1) >= 0;
}

// A stack whose items live on the heap and keep their addresses while it
// grows, so that a deep tree takes no C stack.
template <typename Item>
class Stack {
  public:
    Stack() noexcept = default;
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;
    ~Stack() {
        while (size_ > 0) {
            pop();
        }
        for (Py_ssize_t i = 0; i < allocated_; ++i) {
            PyMem_Free(items_[i]);
        }
        PyMem_Free(items_);
    }

    Item* push() {
        if (size_ == allocated_) {
            if (allocated_ == capacity_) {
                const Py_ssize_t capacity = 2 * capacity_ + 8;
                void* items = PyMem_Realloc(items_, static_cast<size_t>(capacity) * sizeof(Item*));
                if (items == nullptr) {
                    PyErr_NoMemory();
                    return nullptr;
                }
                items_ = static_cast<Item**>(items);
                capacity_ = capacity;
            }
            void* memory = PyMem_Malloc(sizeof(Item));
            if (memory == nullptr) {
                PyErr_NoMemory();
                return nullptr;
            }
            items_[allocated_++] = static_cast<Item*>(memory);
        }
        return new (items_[size_++]) Item();
    }
    void pop() { items_[--size_]->~Item(); }
    Item& top() { return *items_[size_ - 1]; }
    Item& at(Py_ssize_t index) { return *items_[index]; }
    const Item& at(Py_ssize_t index) const { return *items_[index]; }
    Py_ssize_t size() const { return size_; }

  private:
    Item** items_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t allocated_ = 0;
    Py_ssize_t capacity_ = 0;
};

// What begins each line of the levels being written: "\n" and the marks
// ("  |" or "  ") of all their ancestors. Each level's lead is a prefix of
// the next one's.
class Lead {
  public:
    Lead() noexcept = default;
    Lead(const Lead&) = delete;
    Lead& operator=(const Lead&) = delete;
    ~Lead() { PyMem_Free(data_); }

    int push(const char* mark, size_t length) {
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
    const char* data() const { return data_; }

  private:
    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

const char kBar[] = "  |";
const char kBlank[] = "  ";

// One dict of the tree being rendered by the fast renderer.
struct FastFrame {
    Entries entries;
    Py_ssize_t next = 0;
    // The length of its lead: what begins each line of its text but the
    // first, once its text is part of the whole.
    size_t lead = 0;
    // Where its text begins in the whole: the line of its heading.
    Py_ssize_t start = 0;
    // Taken at the first safe point it is under way at.
    DictMark mark;
};

// The children a fast render completes between two safe points: about a
// tenth of a millisecond of rendering, so that a signal is handled well
// within a millisecond, as between two classes of the written renderer
// (where CPython checks for signals), at a cost of well under one percent.
constexpr int kSafePointEvery = 1024;

class WrittenRenderer;

class FastRenderer {
  public:
    FastRenderer(Call& call, Levels& levels) noexcept : call_(call), levels_(levels) {}

    enum class Rendered { text, given_up, handed_over, failed };
    // `text` with *text set; `given_up` when the tree is not one the fast
    // renderer serves, before anything of it was read (the written renderer
    // starts); `handed_over` when the render goes on in `written`.
    Rendered render(PyObject* data, PyObject* output, Ref* text, WrittenRenderer& written);

  private:
    enum class Outcome { completed, descended, given_up, failed };

    // str(cls) of a class leaf whose text no Python code takes part in;
    // empty (no error) for any other value.
    Ref plain_class_text(PyObject* value);
    void forget_classes();
    Outcome child();
    // A line of the frame's text: its lead, then `mark`.
    int line_start(const FastFrame& frame, const char* mark, size_t length) {
        return out_.append_ascii(lead_.data(), frame.lead) < 0 ? -1
                                                               : out_.append_ascii(mark, length);
    }
    // A child's text, made of `parts`: its first line marked "  |", the
    // rest (when a part holds a line break) marked as the child's own.
    int child_text(const FastFrame& frame, bool last, std::initializer_list<PyObject*> parts);
    // 0 to go on, 1 when the render went on in `written`, -1 on error.
    int safe_point(WrittenRenderer& written);
    // Gives the render under way to the written renderer: the levels'
    // frames, their texts split out of the whole. -1 on error.
    int hand_over(WrittenRenderer& written);
    bool unchanged() const;
    // The dict of the frame at `index`: the render's data, or the value its
    // parent is writing (held by the parent's entries).
    PyObject* dict_of(Py_ssize_t index) const {
        if (index == 0) {
            return data_;
        }
        const FastFrame& parent = frames_.at(index - 1);
        return parent.entries.value(parent.next - 1);
    }

    Call& call_;
    Levels& levels_;
    CollectorPaused paused_;
    PyObject* data_ = nullptr;  // the render's data, the caller's argument
    TextBuilder out_;
    Lead lead_;
    Stack<FastFrame> frames_;
    // The classes whose text was made since the last safe point: nothing
    // runs Python code until the next, so a class's text stays what it was.
    static constexpr int kKnownClasses = 8;
    PyObject* known_[kKnownClasses] = {};
    Ref known_text_[kKnownClasses];
    int known_next_ = 0;
    // What proves, across a safe point, that the dicts under way did not
    // change: the first `marked_` frames have their marks.
    WatchedChanges changes_;
    Py_ssize_t marked_ = 0;
    int until_safe_point_ = kSafePointEvery;
};

// str(cls), for a class whose metaclass is exactly type (the rule's truth,
// `== {}` and isinstance tests of it are type's own) and, for a heap class,
// whose namespace has exact-str keys only (str() reads __module__ from it).
Ref FastRenderer::plain_class_text(PyObject* value) {
    if (!Py_IS_TYPE(value, &PyType_Type)) {
        return Ref();
    }
    for (int i = 0; i < kKnownClasses; ++i) {
        if (known_[i] == value) {
            return Ref::borrow(known_text_[i].get());
        }
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(value);
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        const Ref dict = type_dict(type);
        if (!dict || !PyDict_CheckExact(dict.get()) || !keys_are_exact_strs(dict.get())) {
            return Ref();
        }
    }
    // str(cls) is type's own repr, called as the slot it is: PyObject_Str
    // would check for signals first, which may run a signal handler and,
    // from 3.12, a collection that is due.
    Ref text = Ref::steal(PyType_Type.tp_repr(value));
    if (text) {
        known_[known_next_] = value;
        known_text_[known_next_] = Ref::borrow(text.get());
        known_next_ = (known_next_ + 1) % kKnownClasses;
    }
    return text;
}

void FastRenderer::forget_classes() {
    for (int i = 0; i < kKnownClasses; ++i) {
        known_[i] = nullptr;
        known_text_[i].reset();
    }
}

int FastRenderer::child_text(const FastFrame& frame, bool last,
                             std::initializer_list<PyObject*> parts) {
    bool single_line = true;
    for (PyObject* part : parts) {
        single_line = single_line && !has_newline(part);
    }
    if (line_start(frame, kBar, 3) < 0) {
        return -1;
    }
    if (single_line) {
        for (PyObject* part : parts) {
            if (out_.append(part) < 0) {
                return -1;
            }
        }
        return 0;
    }
    Ref joined = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!joined) {
        return -1;
    }
    Py_ssize_t i = 0;
    for (PyObject* part : parts) {
        PyTuple_SET_ITEM(joined.get(), i++, Py_NewRef(part));
    }
    Ref text = Ref::steal(PyUnicode_Join(names.empty, joined.get()));
    Ref lines = text ? Ref::steal(PyUnicode_Split(text.get(), names.newline, -1)) : Ref();
    if (!lines) {
        return -1;
    }
    for (Py_ssize_t line = 0; line < PyList_GET_SIZE(lines.get()); ++line) {
        if (line > 0 && (line_start(frame, last ? kBlank : kBar, last ? 2 : 3) < 0)) {
            return -1;
        }
        if (out_.append(PyList_GET_ITEM(lines.get(), line)) < 0) {
            return -1;
        }
    }
    return 0;
}

// The next child of the frame on top: everything it needs is read before
// anything of it is written, so that a child the fast renderer does not
// serve is left whole to the written renderer.
FastRenderer::Outcome FastRenderer::child() {
    FastFrame& frame = frames_.top();
    const Py_ssize_t index = frame.next;
    PyObject* key = frame.entries.key(index);
    PyObject* value = frame.entries.value(index);
    const bool last = index == frame.entries.size() - 1;
    const bool dict = PyDict_CheckExact(value);
    Ref class_text;
    if (!dict && !inert(value)) {
        class_text = plain_class_text(value);
        if (!class_text) {
            return PyErr_Occurred() ? Outcome::failed : Outcome::given_up;
        }
    }
    const bool empty = value == Py_None || (dict && PyDict_GET_SIZE(value) == 0) ||
                       (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0);
    FastFrame* below = nullptr;
    if (dict && !empty) {
        below = frames_.push();
        if (below == nullptr) {
            return Outcome::failed;
        }
        const int read = below->entries.read(value);
        if (read <= 0) {
            frames_.pop();
            return read < 0 ? Outcome::failed : Outcome::given_up;
        }
    }
    // print_tree(data=value, output="__ " + key), one level deeper.
    frame.next = index + 1;
    if (levels_.enter() < 0) {
        return Outcome::failed;
    }
    if (empty) {
        // An empty text: its one line is only the mark of its first line.
        levels_.leave();
        return line_start(frame, kBar, 3) < 0 ? Outcome::failed : Outcome::completed;
    }
    if (levels_.call_into_c() < 0) {
        return Outcome::failed;
    }
    if (!dict) {
        levels_.leave();
        PyObject* leaf = class_text ? class_text.get() : value;
        return child_text(frame, last, {names.heading_mark, key, names.leaf_mark, leaf}) < 0
                   ? Outcome::failed
                   : Outcome::completed;
    }
    // The child's heading now; its lines follow as its entries are read.
    lead_.truncate(frame.lead);
    below->start = out_.length();
    if (child_text(frame, last, {names.heading_mark, key}) < 0 ||
        lead_.push(last ? kBlank : kBar, last ? 2 : 3) < 0) {
        return Outcome::failed;
    }
    below->lead = lead_.size();
    return Outcome::descended;
}

// Whether every dict under way is as it was when marked, the watched ones
// counted.
bool FastRenderer::unchanged() const {
    if (!changes_.none()) {
        return false;
    }
    if constexpr (DictMark::kVersioned) {
        for (Py_ssize_t i = 0; i < frames_.size(); ++i) {
            const FastFrame& frame = frames_.at(i);
            if (!frame.mark.unchanged(dict_of(i))) {
                return false;
            }
        }
    }
    return true;
}

int FastRenderer::safe_point(WrittenRenderer& written) {
    until_safe_point_ = kSafePointEvery;
    bool proven = true;
    for (; proven && marked_ < frames_.size(); ++marked_) {
        FastFrame& frame = frames_.at(marked_);
        proven = frame.mark.take(dict_of(marked_));
    }
    changes_.begin();
    call_.written<Step::signals>();
    sentinel::at_safe_point();
    if (!proven) {
        // Nothing would prove what the handlers leave as it was.
        if (hand_over(written) < 0) {
            return -1;
        }
        paused_.end();
        return PyErr_CheckSignals() < 0 ? -1 : 1;
    }
    paused_.end();
    const int checked = PyErr_CheckSignals();
    paused_.restart();
    if (checked < 0) {
        return -1;
    }
    // Whatever ran may have freed a class and made another at its address.
    forget_classes();
    levels_.refresh();
    call_.reenter();
    const int own = call_.own();
    if (own < 0) {
        return -1;
    }
    if (own && unchanged()) {
        return 0;
    }
    // Off the fast path again: letting go of the values under way may run
    // their finalisers.
    call_.written<Step::signals>();
    if (hand_over(written) < 0) {
        return -1;
    }
    paused_.end();
    return 1;
}

FastRenderer::Rendered FastRenderer::render(PyObject* data, PyObject* output, Ref* text,
                                            WrittenRenderer& written) {
    // print_tree(data, output) itself is the first level.
    if (levels_.enter() < 0) {
        return Rendered::failed;
    }
    const bool dict = PyDict_CheckExact(data);
    Ref class_text;
    if (!dict && !inert(data)) {
        class_text = plain_class_text(data);
        if (!class_text) {
            levels_.leave();
            return PyErr_Occurred() ? Rendered::failed : Rendered::given_up;
        }
    }
    if (data == Py_None || (dict && PyDict_GET_SIZE(data) == 0) ||
        (PyUnicode_CheckExact(data) && PyUnicode_GET_LENGTH(data) == 0)) {
        *text = Ref::borrow(names.empty);
        return Rendered::text;
    }
    if (levels_.call_into_c() < 0) {
        return Rendered::failed;
    }
    if (!dict) {
        // output + " = " + str(data)
        PyObject* leaf = class_text ? class_text.get() : data;
        Ref head = Ref::steal(PyUnicode_Concat(output, names.leaf_mark));
        *text = head ? Ref::steal(PyUnicode_Concat(head.get(), leaf)) : Ref();
        return *text ? Rendered::text : Rendered::failed;
    }
    FastFrame* root = frames_.push();
    if (root == nullptr) {
        return Rendered::failed;
    }
    data_ = data;
    const int read = root->entries.read(data);
    if (read <= 0) {
        levels_.leave();
        return read < 0 ? Rendered::failed : Rendered::given_up;
    }
    if (out_.append(output) < 0 || lead_.push("\n", 1) < 0) {
        return Rendered::failed;
    }
    root->lead = lead_.size();
    while (true) {
        FastFrame& frame = frames_.top();
        if (frame.next < frame.entries.size()) {
            const Outcome outcome = child();
            if (outcome == Outcome::descended) {
                continue;
            }
            if (outcome == Outcome::failed) {
                return Rendered::failed;
            }
            if (outcome == Outcome::given_up) {
                // What the fast renderer wrote is the rule's text so far.
                return hand_over(written) < 0 ? Rendered::failed : Rendered::handed_over;
            }
        } else {
            frames_.pop();
            levels_.leave();
            if (frames_.size() == 0) {
                break;
            }
            if (marked_ > frames_.size()) {
                marked_ = frames_.size();
            }
        }
        if (--until_safe_point_ == 0 || sentinel::every_safe_point()) {
            const int point = safe_point(written);
            if (point != 0) {
                return point < 0 ? Rendered::failed : Rendered::handed_over;
            }
        }
    }
    *text = out_.finish();
    return *text ? Rendered::text : Rendered::failed;
}

// ---- The written renderer ----

// One invocation of the rule under way.
struct Frame {
    Ref data;
    Ref keys;  // sorted_keys
    Ref last_key;
    Py_ssize_t next = 0;
    Ref key;     // the key whose child is being rendered
    Ref output;  // the text so far
};

class WrittenRenderer {
  public:
    WrittenRenderer(Call& call, Levels& levels) noexcept : call_(call), levels_(levels) {}
    Ref render(PyObject* data, PyObject* output);
    // A frame of the render under way, for a fast render that hands it
    // over, outermost first; each has its level entered.
    Frame* push() { return frames_.push(); }
    // Goes on with the frames pushed until the outermost is done.
    Ref run();

  private:
    enum class Started { failed, text, frame };
    // `not data`, `data == {}`, `isinstance(data, dict)`, then either the
    // leaf's text or a new invocation with its sorted keys.
    Started start(PyObject* data, PyObject* output, Ref* text);
    int child(Frame& frame);
    int child_done(Frame& frame, PyObject* text);

    Call& call_;
    Levels& levels_;
    Stack<Frame> frames_;
};

Ref WrittenRenderer::render(PyObject* data, PyObject* output) {
    if (levels_.enter() < 0) {
        return Ref();
    }
    Ref text;
    const Started started = start(data, output, &text);
    if (started != Started::frame) {
        return text;
    }
    return run();
}

Ref WrittenRenderer::run() {
    while (frames_.size() > 0) {
        Frame& frame = frames_.top();
        if (frame.next < PyList_GET_SIZE(frame.keys.get())) {
            if (child(frame) < 0) {
                return Ref();
            }
            continue;
        }
        Ref finished = std::move(frame.output);
        frames_.pop();
        levels_.leave();
        if (frames_.size() == 0) {
            return finished;
        }
        if (child_done(frames_.top(), finished.get()) < 0) {
            return Ref();
        }
    }
    return Ref();
}

WrittenRenderer::Started WrittenRenderer::start(PyObject* data, PyObject* output, Ref* text) {
    const int present = truth(call_, data);
    if (present <= 0) {
        *text = present < 0 ? Ref() : Ref::borrow(names.empty);
        return *text ? Started::text : Started::failed;
    }
    if (levels_.call_into_c() < 0) {
        return Started::failed;
    }
    Ref empty;
    {
        CollectorPaused paused;
        empty = Ref::steal(PyDict_New());
    }
    const int is_empty = empty ? equals(call_, data, empty.get()) : -1;
    if (is_empty != 0) {
        *text = is_empty < 0 ? Ref() : Ref::borrow(names.empty);
        return *text ? Started::text : Started::failed;
    }
    const int mapping = is_instance(call_, data, &PyDict_Type);
    if (mapping < 0) {
        return Started::failed;
    }
    if (!mapping) {
        Ref head = add(call_, output, names.leaf_mark);
        Ref value = head ? str_of(call_, data) : Ref();
        *text = value ? add(call_, head.get(), value.get()) : Ref();
        return *text ? Started::text : Started::failed;
    }
    call_.written<Step::sorted>();
    Ref view = Ref::steal(PyObject_CallMethodNoArgs(data, names.keys));
    Ref keys = view ? Ref::steal(PySequence_List(view.get())) : Ref();
    if (!keys || PyList_Sort(keys.get()) < 0) {
        return Started::failed;
    }
    const Py_ssize_t count = PyList_GET_SIZE(keys.get());
    if (count == 0) {
        PyErr_SetString(PyExc_IndexError, texts::kNoLastKey);
        return Started::failed;
    }
    Frame* frame = frames_.push();
    if (frame == nullptr) {
        return Started::failed;
    }
    frame->last_key = Ref::borrow(PyList_GET_ITEM(keys.get(), count - 1));
    frame->keys = std::move(keys);
    frame->data = Ref::borrow(data);
    frame->output = Ref::borrow(output);
    return Started::frame;
}

// `temp_output = self.print_tree(data=data[key], output="__ " + key)`: the
// method looked up first, then the value and the heading. PluginManager's
// own print_tree, bound to this instance, continues in this loop; anything
// else is called.
int WrittenRenderer::child(Frame& frame) {
    frame.key = Ref::borrow(PyList_GET_ITEM(frame.keys.get(), frame.next++));
    const Ref key = Ref::borrow(frame.key.get());
    const Ref data = Ref::borrow(frame.data.get());
    PyObject* self = call_.self();
    call_.written<Step::print_tree>();
    Ref method = instance_member<Member::print_tree>(self);
    Ref value = method ? node_item(call_, data.get(), key.get()) : Ref();
    Ref heading = value ? add(call_, names.heading_mark, key.get()) : Ref();
    if (!heading) {
        return -1;
    }
    if (own_method<Member::print_tree>(method.get(), self)) {
        if (levels_.enter() < 0) {
            return -1;
        }
        Ref text;
        const Started started = start(value.get(), heading.get(), &text);
        if (started == Started::frame) {
            return 0;
        }
        levels_.leave();
        return started == Started::failed ? -1 : child_done(frames_.top(), text.get());
    }
    PyObject* args[] = {value.get(), heading.get()};
    Ref text = Ref::steal(PyObject_Vectorcall(method.get(), args, 0, names.data_output));
    return text ? child_done(frames_.top(), text.get()) : -1;
}

// The child's text, split at "\n" and added to the frame's text line by line.
int WrittenRenderer::child_done(Frame& frame, PyObject* text) {
    const Ref key = Ref::borrow(frame.key.get());
    const Ref last_key = Ref::borrow(frame.last_key.get());
    const int is_last = equals(call_, key.get(), last_key.get());
    if (is_last < 0) {
        return -1;
    }
    Ref parts = call_.step<Step::split>(PyUnicode_CheckExact(text))
                    ? Ref::steal(PyUnicode_Split(text, names.newline, -1))
                    : Ref::steal(PyObject_CallMethodOneArg(text, names.split, names.newline));
    Ref iterator = parts ? Ref::steal(PyObject_GetIter(parts.get())) : Ref();
    if (!iterator) {
        return -1;
    }
    PyObject* separator = is_last ? names.blank_pair : names.bar;
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
            piece = add(call_, names.first_mark, line.get());
        } else {
            Ref lead = add(call_, names.newline, separator);
            piece = lead ? add(call_, lead.get(), line.get()) : Ref();
        }
        if (!piece) {
            return -1;
        }
        // `output += piece`: in place when the frame holds the only
        // reference to an exact str, as += does.
        Frame& target = frames_.top();
        if (call_.step<Step::add>(PyUnicode_CheckExact(target.output.get()) &&
                                  PyUnicode_CheckExact(piece.get()))) {
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

int FastRenderer::hand_over(WrittenRenderer& written) {
    const Py_ssize_t depth = frames_.size();
    for (Py_ssize_t i = 0; i < depth; ++i) {
        FastFrame& frame = frames_.at(i);
        Frame* target = written.push();
        if (target == nullptr) {
            return -1;
        }
        const Py_ssize_t size = frame.entries.size();
        target->keys = Ref::steal(PyList_New(size));
        if (!target->keys) {
            return -1;
        }
        for (Py_ssize_t k = 0; k < size; ++k) {
            PyList_SET_ITEM(target->keys.get(), k, Py_NewRef(frame.entries.key(k)));
        }
        target->data = Ref::borrow(dict_of(i));
        target->last_key = Ref::borrow(frame.entries.key(size - 1));
        target->next = frame.next;
        if (frame.next > 0) {
            target->key = Ref::borrow(frame.entries.key(frame.next - 1));
        }
        // A level's text: its lines in the whole, each without the lead of
        // its ancestors, and its first line without its parent's mark ("  |").
        const Py_ssize_t end = i + 1 < depth ? frames_.at(i + 1).start : out_.length();
        const Py_ssize_t first = i == 0 ? 0 : static_cast<Py_ssize_t>(frames_.at(i - 1).lead) + 3;
        const Py_ssize_t after_break = static_cast<Py_ssize_t>(frame.lead) - 1;
        target->output = out_.region(frame.start, end, first, after_break);
        if (!target->output) {
            return -1;
        }
    }
    // Their levels are the written renderer's now.
    while (frames_.size() > 0) {
        frames_.pop();
    }
    return 0;
}

}  // namespace

PyObject* print_tree(Call& call, PyObject* data, PyObject* output) {
    const int own = call.own();
    if (own < 0) {
        return nullptr;
    }
    Levels levels;
    WrittenRenderer written(call, levels);
    if (own && PyUnicode_CheckExact(output)) {
        sentinel::step(Step::fast_renderer);
        Ref text;
        FastRenderer::Rendered rendered;
        {
            FastRenderer fast(call, levels);
            rendered = fast.render(data, output, &text, written);
        }
        switch (rendered) {
            case FastRenderer::Rendered::text:
                return text.release();
            case FastRenderer::Rendered::failed:
                return nullptr;
            case FastRenderer::Rendered::handed_over:
                return written.run().release();
            case FastRenderer::Rendered::given_up:
                break;
        }
    }
    return written.render(data, output).release();
}

PyObject* manager_repr(Call& call) {
    // The written __repr__ is a frame of its own, under the print_tree it
    // calls: one level of the rule's recursion before the render's first.
    Levels frame;
    if (frame.enter() < 0) {
        return nullptr;
    }
    // "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
    call.written<Step::repr>();
    PyObject* self = call.self();
    Ref cls = Ref::steal(PyObject_GetAttr(self, names.__class__));
    Ref heading = cls ? text_and_str(call, names.repr_start, cls.get()) : Ref();
    heading = heading ? add(call, heading.get(), names.repr_at) : Ref();
    Ref hex_function = heading ? global(names.hex) : Ref();
    Ref id_function = hex_function ? global(names.id) : Ref();
    Ref identity = id_function ? Ref::steal(PyObject_CallOneArg(id_function.get(), self)) : Ref();
    Ref address =
        identity ? Ref::steal(PyObject_CallOneArg(hex_function.get(), identity.get())) : Ref();
    Ref address_text = address ? str_of(call, address.get()) : Ref();
    heading = address_text ? add(call, heading.get(), address_text.get()) : Ref();
    heading = heading ? add(call, heading.get(), names.repr_end) : Ref();
    // self.print_tree(data=self._plugins, output=heading)
    Ref method = heading ? instance_member<Member::print_tree>(self) : Ref();
    Ref tree = method ? Ref::steal(PyObject_GetAttr(self, names._plugins)) : Ref();
    if (!tree) {
        return nullptr;
    }
    PyObject* args[] = {tree.get(), heading.get()};
    return PyObject_Vectorcall(method.get(), args, 0, names.data_output);
}

}  // namespace corvane
