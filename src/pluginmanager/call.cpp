// The examination of an instance for overrides, and calls through it.
//
// Whether a class overrides nothing is found by walking its MRO once per
// state of the class: a class's version tag changes with every change to
// the class or any of its bases and is never given to another class, so the
// tags of the classes found plain are remembered (numbers, not pointers).
// The instance's __dict__ is examined on every call. Neither examination
// runs Python code: every dict looked into is read entry by entry, holding
// its critical section, and must have exact-str keys only.
#include "call.hpp"

#include <atomic>

namespace corvane {
namespace {

PyObject* g_own_functions[kMemberCount] = {};

PyObject* state_name(int index) {
    PyObject* const state[] = {names._plugins, names.supported_os, names.chassis_type_list};
    return state[index];
}

// The tags of the last classes found plain, most recent first. Each slot is
// written whole, so a reader sees a tag that was found plain or 0, whatever
// other threads do.
constexpr int kRememberedClasses = 4;
std::atomic<unsigned int> g_plain_tags[kRememberedClasses] = {};

bool remembered_plain(unsigned int tag) {
    for (const std::atomic<unsigned int>& plain : g_plain_tags) {
        if (plain.load(std::memory_order_relaxed) == tag) {
            return true;
        }
    }
    return false;
}

void remember_plain(unsigned int tag) {
    for (int i = kRememberedClasses - 1; i > 0; --i) {
        g_plain_tags[i].store(g_plain_tags[i - 1].load(std::memory_order_relaxed),
                              std::memory_order_relaxed);
    }
    g_plain_tags[0].store(tag, std::memory_order_relaxed);
}

constexpr int kOtherName = -1;
constexpr int kMemberName = 3;

// Which name an exact str is: 0 to 2 a state attribute, kMemberName a
// member called through the instance, kOtherName neither.
int examined_name(PyObject* key) {
    for (int i = 0; i < 3; ++i) {
        if (key == state_name(i)) {
            return i;
        }
    }
    for (Member member : kThroughSelf.members) {
        if (key == member_name(member)) {
            return kMemberName;
        }
    }
    // Not one of the interned names by identity; it may still be equal.
    for (int i = 0; i < 3; ++i) {
        if (str_equal(key, state_name(i))) {
            return i;
        }
    }
    for (Member member : kThroughSelf.members) {
        if (str_equal(key, member_name(member))) {
            return kMemberName;
        }
    }
    return kOtherName;
}

// Reads one class's namespace for the names that matter: true when it
// defines none of them but PluginManager's own members (each first found
// marks `settled`), false when the class cannot be plain.
bool plain_namespace(PyObject* dict, bool* settled) {
    return each_str_key(dict, [&](PyObject* key, PyObject* value) CORVANE_INLINE_LAMBDA {
        const int name = examined_name(key);
        if (name == kOtherName) {
            return true;
        }
        if (name != kMemberName) {
            return false;
        }
        for (int m = 0; m < kThroughSelfCount; ++m) {
            const Member member = kThroughSelf.members[m];
            if (!settled[m] && str_equal(key, member_name(member))) {
                if (value != g_own_functions[static_cast<int>(member)]) {
                    return false;
                }
                settled[m] = true;
            }
        }
        return true;
    });
}

// 1 when `type` overrides none of the members called through the instance
// and defines none of the state attributes; 0 otherwise. Every class of the
// MRO but `object` (which cannot change) is read: the first class that
// defines a name is the one attribute lookup finds.
int plain_class(PyTypeObject* type, unsigned int tag) {
    const Ref mro = type_mro(type);
    if (!mro || !PyTuple_Check(mro.get())) {
        return 0;
    }
    bool settled[kThroughSelfCount] = {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (base == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
            continue;
        }
        if (!PyType_Check(base)) {
            return 0;
        }
        const Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(base));
        if (!dict || !PyDict_CheckExact(dict.get()) || !plain_namespace(dict.get(), settled)) {
            return 0;
        }
    }
    for (bool found : settled) {
        if (!found) {
            return 0;
        }
    }
    remember_plain(tag);
    return 1;
}

// An instance __dict__ larger than this is not examined key by key.
constexpr Py_ssize_t kMostExaminedEntries = 16;

// The instance __dict__ examined last, as it was then: while it is the same
// dict, unchanged (proofs.hpp), what was found in it stands. Kept only where
// versions are (DictVersion::kKept), so only with the interpreter lock.
struct ExaminedDict {
    DictVersion version;
    bool own = false;
    PyObject* state[3] = {};  // borrowed: the unchanged dict holds them
};
ExaminedDict g_examined;

}  // namespace

void attach_member(Member member, PyObject* function) {
    Py_XSETREF(g_own_functions[static_cast<int>(member)], Py_NewRef(function));
}

PyObject* own_function(Member member) {
    return g_own_functions[static_cast<int>(member)];
}

void detach_members() {
    for (PyObject*& function : g_own_functions) {
        Py_CLEAR(function);
    }
    for (std::atomic<unsigned int>& tag : g_plain_tags) {
        tag.store(0, std::memory_order_relaxed);
    }
    g_examined = ExaminedDict();
}

bool members_kept() noexcept {
    bool kept = g_examined.own || g_examined.state[0] != nullptr;
    for (PyObject* function : g_own_functions) {
        kept = kept || function != nullptr;
    }
    for (const std::atomic<unsigned int>& tag : g_plain_tags) {
        kept = kept || tag.load(std::memory_order_relaxed) != 0;
    }
    return kept;
}

int Call::examine() {
    mode_ = Mode::instance;
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr || !has_instance_dict(type)) {
        return 0;
    }
    const unsigned int tag = version_tag(type);
    if (tag == 0 || (!remembered_plain(tag) && !plain_class(type, tag))) {
        return 0;
    }
    // The first read of an instance's __dict__ may make it.
    Ref dict;
    {
        CollectorPaused paused;
        dict = Ref::steal(PyObject_GenericGetDict(self_, nullptr));
    }
    if (!dict) {
        return -1;
    }
    if (!PyDict_CheckExact(dict.get())) {
        return 0;
    }
    if (g_examined.version.same(dict.get())) {
        if (g_examined.own) {
            for (int i = 0; i < 3; ++i) {
                held_[i] = Ref::borrow(g_examined.state[i]);
            }
        }
        mode_ = g_examined.own ? Mode::own : Mode::instance;
        return g_examined.own ? 1 : 0;
    }
    PyObject* state[3] = {};
    // __init__ sets the state in this order: expected first, by identity.
    constexpr int kInitOrder[3] = {0, 2, 1};
    int entry = 0;
    const bool found =
        PyDict_GET_SIZE(dict.get()) <= kMostExaminedEntries &&
        each_str_key(
            dict.get(),
            [&](PyObject* key, PyObject* value) CORVANE_INLINE_LAMBDA {
                int index = entry < 3 && key == state_name(kInitOrder[entry]) ? kInitOrder[entry]
                                                                              : examined_name(key);
                ++entry;
                if (index == kMemberName) {
                    return false;
                }
                if (index != kOtherName) {
                    state[index] = value;
                }
                return true;
            },
            [&]() CORVANE_INLINE_LAMBDA {
                if (state[0] == nullptr || state[1] == nullptr || state[2] == nullptr) {
                    return false;
                }
                for (int i = 0; i < 3; ++i) {
                    held_[i] = Ref::borrow(state[i]);
                }
                return true;
            });
    if constexpr (DictVersion::kKept) {
        g_examined = {DictVersion::of(dict.get()), found, {state[0], state[1], state[2]}};
    }
    mode_ = found ? Mode::own : Mode::instance;
    return found ? 1 : 0;
}

Ref Call::state(State which) {
    const int own = this->own();
    if (own < 0) {
        return Ref();
    }
    const int index = static_cast<int>(which);
    if (step<Step::state>(own)) {
        return Ref::borrow(held_[index].get());
    }
    return Ref::steal(PyObject_GetAttr(self_, state_name(index)));
}

}  // namespace corvane
