// Proofs that a dict's keys are all exact strs.
//
// A lookup of an exact-str key in an exact dict whose keys are all exact
// strs runs no Python code: strs compare by their characters. A key of any
// other kind may run its own __eq__ in any lookup whose hash collides with
// it. Reading every key to find out costs a scan of the dict, so what a scan
// found is kept, and kept only while the interpreter can tell that the dict
// has not changed in a way that may change it:
//
// - 3.11: a dict's version tag (a field of the dict that 3.11 makes public)
//   is taken from one process-wide counter when the dict is made and at
//   every change to it, and never given again. A scan is remembered with
//   the dict's address and the tag it had: the same address with the same
//   tag is the same dict, unchanged.
// - 3.12 on: a dict watcher is told of every change to a dict it watches. A
//   key of another kind added refutes a proof; a dict cloned into or
//   deallocated is forgotten.
// - A free-threaded build keeps nothing: without the interpreter lock the
//   tables would need a lock of their own.
//
// Once a scan is entered, nothing here needs memory: refuting a proof or
// forgetting a dict changes its entry in place. Where there is no room to
// enter a scan, the dict is not proven and the written steps serve.
//
// Only plain dicts are proven. From 3.13 on, an instance's __dict__ may
// share its values with the instance, which changes them without a word to
// a watcher: keys are still told of, values are not. What rests on values
// staying put (the lookups remembered, memo.hpp) takes only dicts the
// module made itself (note_made), whose values no object shares.
#pragma once

#include <cstdint>

#include "compat.hpp"

namespace corvane {

// Reads `dict`, an exact dict, entry by entry holding its critical section,
// which runs no Python code: `visit(key, value)` (borrowed) for each entry,
// while every key is an exact str and `visit` returns true; then, still
// holding it, `done()`, whose answer is the scan's. False at the first key
// that is not an exact str, or when `visit` stops. Neither runs Python code;
// a value kept beyond the scan is taken in `done`, while the dict holds it.
// The one scan of a dict's keys the module makes.
template <typename Visit, typename Done>
CORVANE_ALWAYS_INLINE bool each_str_key(PyObject* dict, Visit visit, Done done) {
    return locked(dict, [&]() CORVANE_INLINE_LAMBDA {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        // Held, the dict keeps its size: its entries are all read without
        // asking once more for none.
        for (Py_ssize_t left = PyDict_GET_SIZE(dict);
             left > 0 && PyDict_Next(dict, &position, &key, &value); --left) {
            if (!PyUnicode_CheckExact(key) || !visit(key, value)) {
                return false;
            }
        }
        return done();
    });
}
template <typename Visit>
CORVANE_ALWAYS_INLINE bool each_str_key(PyObject* dict, Visit visit) {
    return each_str_key(dict, visit, []() CORVANE_INLINE_LAMBDA { return true; });
}

// Whether every key of `dict`, an exact dict, is an exact str.
inline bool keys_are_exact_strs(PyObject* dict) {
    return each_str_key(dict, [](PyObject*, PyObject*) CORVANE_INLINE_LAMBDA { return true; });
}

// Sets up the proofs of this interpreter while the module initialises (-1
// on error), and lets them go again when it finalises or the
// initialisation fails.
int attach_proofs();
void detach_proofs();
bool proofs_kept() noexcept;

// The slot of a dict's address in a table of 2**bits entries (Fibonacci
// hashing).
template <int bits>
CORVANE_ALWAYS_INLINE size_t address_slot(PyObject* dict) {
    const uint64_t address = reinterpret_cast<uintptr_t>(dict);
    return static_cast<size_t>((address * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// A dict as it is now. On 3.11: its address and its version tag, which no
// other dict, nor this one after a change, ever has again, so that
// `same(dict)` proves that `dict` is the dict it was taken from, unchanged
// since. Elsewhere no version is kept, and no dict is ever the same.
class DictVersion {
  public:
#if PY_VERSION_HEX < 0x030C0000
    static constexpr bool kKept = true;
    CORVANE_ALWAYS_INLINE static DictVersion of(PyObject* dict) {
        return DictVersion(dict, reinterpret_cast<PyDictObject*>(dict)->ma_version_tag);
    }
    CORVANE_ALWAYS_INLINE bool same(PyObject* dict) const {
        return dict_ == dict && tag_ == reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    }
#else
    static constexpr bool kKept = false;
    static DictVersion of(PyObject*) { return DictVersion(); }
    bool same(PyObject*) const { return false; }
#endif
    DictVersion() noexcept = default;
    // Whether it was taken from a dict.
    bool taken() const noexcept { return dict_ != nullptr; }

  private:
    DictVersion(PyObject* dict, uint64_t tag) noexcept : dict_(dict), tag_(tag) {}
    PyObject* dict_ = nullptr;
    uint64_t tag_ = 0;
};

#if PY_VERSION_HEX < 0x030C0000
// What else only 3.11 lets the module read, beside the version tag: the
// calls the running thread may still make before RecursionError. 3.11
// counts Python frames and calls into C in progress against one limit, in
// a field of the thread state that 3.12 replaced by two counts of their own.
inline int thread_recursion_remaining() {
    return PyThreadState_Get()->recursion_remaining;
}

#define CORVANE_TAG_PROOFS 1

// Scans remembered by the dict's version: a table of a fixed size, in sets
// of a few entries chosen by the dict's address, the most recent scan first;
// a new scan takes the place of its set's oldest.
struct TagProof {
    DictVersion version;
    bool proven;
};
inline constexpr int kTagSetBits = 7;
inline constexpr int kTagWays = 4;
struct TagSet {
    TagProof ways[kTagWays];
};
extern TagSet g_tag_proofs[size_t{1} << kTagSetBits];

CORVANE_ALWAYS_INLINE TagSet& tag_set(PyObject* dict) {
    return g_tag_proofs[address_slot<kTagSetBits>(dict)];
}

// Scans a dict whose scan is not remembered, and remembers it in `set`.
bool prove_by_tag(PyObject* dict, TagSet& set);

#elif !defined(Py_GIL_DISABLED)
#define CORVANE_WATCHED_PROOFS 1

// made: proven, and made by the module (note_made).
enum class Keys : unsigned char { proven, refuted, made };

// The watched dicts and what their scan found: a table of addresses,
// open-addressed and probed linearly, with no tombstones (a removal shifts
// back the entries after it).
class WatchedDicts {
  public:
    CORVANE_ALWAYS_INLINE Keys* find(PyObject* dict) {
        if (slots_ == nullptr) {
            return nullptr;
        }
        for (size_t i = home(dict);; i = (i + 1) & mask_) {
            if (slots_[i].dict == dict) {
                return &slots_[i].keys;
            }
            if (slots_[i].dict == nullptr) {
                return nullptr;
            }
        }
    }

    // Enters a dict the table does not hold; -1 when there is no memory for
    // it (nothing is changed then).
    int add(PyObject* dict, Keys keys);
    // Drops a dict's entry, if it has one. Needs no memory.
    void forget(PyObject* dict);
    // Drops every entry and the table's memory.
    void clear();
    bool holds_memory() const noexcept { return slots_ != nullptr; }

  private:
    struct Slot {
        PyObject* dict;
        Keys keys;
    };
    size_t capacity() const { return slots_ == nullptr ? 0 : mask_ + 1; }
    CORVANE_ALWAYS_INLINE size_t home(PyObject* dict) const {
        return address_slot<64>(dict) >> shift_;
    }
    void place(PyObject* dict, Keys keys);
    int grow();

    Slot* slots_ = nullptr;
    size_t mask_ = 0;
    size_t used_ = 0;
    int shift_ = 64;
};

extern WatchedDicts g_watched;

// Scans a dict the table does not hold, watches it and enters what the scan
// found.
bool prove_watched(PyObject* dict);
// Watches a dict the module just made and enters it as made there.
void note_made_watched(PyObject* dict);
#endif

#if defined(CORVANE_WATCHED_PROOFS)
// The changes the watcher was told of, to any watched dict: while the count
// stands still, no watched dict changes.
extern uint64_t g_watched_changes;
#endif

// Proofs that dicts are unchanged between two moments, across code that may
// run Python code (a render's safe point): each dict is marked once
// (DictMark::take), the changes counted from before that code runs
// (WatchedChanges::begin), and after it, a dict is unchanged when its mark
// says so and no watched dict changed.
//
// - 3.11: the mark is the dict's version tag (DictVersion).
// - 3.12 on: the mark watches the dict; any change to a watched dict moves
//   the count.
// - A free-threaded build marks nothing.
class DictMark {
  public:
    // Whether a mark tells of its own dict's changes; otherwise the count of
    // watched changes does.
    static constexpr bool kVersioned = DictVersion::kKept;

    // False where no mark can be kept (no room to watch the dict).
    bool take(PyObject* dict);
    bool unchanged([[maybe_unused]] PyObject* dict) const {
#if defined(CORVANE_TAG_PROOFS)
        return version_.same(dict);
#elif defined(CORVANE_WATCHED_PROOFS)
        return true;
#else
        return false;
#endif
    }

  private:
    DictVersion version_;
};

class WatchedChanges {
  public:
    void begin() {
#if defined(CORVANE_WATCHED_PROOFS)
        count_ = g_watched_changes;
#endif
    }
    bool none() const {
#if defined(CORVANE_WATCHED_PROOFS)
        return count_ == g_watched_changes;
#else
        return DictMark::kVersioned;
#endif
    }

  private:
    uint64_t count_ = 0;
};

// Notes `dict`, just made by the module (PyDict_New) and holding only
// exact-str keys, as made here: its values are its own, so a watcher hears
// of every change to them.
// Where it cannot be noted (no room, no watcher, 3.11), it is not.
CORVANE_ALWAYS_INLINE void note_made([[maybe_unused]] PyObject* dict) {
#if defined(CORVANE_WATCHED_PROOFS)
    note_made_watched(dict);
#endif
}

// Whether `dict` was made by the module and has had only exact-str keys
// since (note_made).
CORVANE_ALWAYS_INLINE bool made_here([[maybe_unused]] PyObject* dict) {
#if defined(CORVANE_WATCHED_PROOFS)
    const Keys* known = g_watched.find(dict);
    return known != nullptr && *known == Keys::made;
#else
    return false;
#endif
}

// Whether every key of `dict`, an exact dict, is proven an exact str. False
// where it cannot be known.
CORVANE_ALWAYS_INLINE bool str_keys_proven([[maybe_unused]] PyObject* dict) {
#if defined(CORVANE_TAG_PROOFS)
    TagSet& set = tag_set(dict);
    for (const TagProof& way : set.ways) {
        if (way.version.same(dict)) {
            return way.proven;
        }
    }
    return prove_by_tag(dict, set);
#elif defined(CORVANE_WATCHED_PROOFS)
    const Keys* known = g_watched.find(dict);
    return known == nullptr ? prove_watched(dict) : *known != Keys::refuted;
#else
    return false;
#endif
}

// `dict[key] = value` for an exact-str key the dict does not hold, in a dict
// just proven (str_keys_proven) with nothing run since: every key it
// compares is an exact str, so no Python code runs, and the proof stands
// after it. -1 on error.
inline int insert_proven(PyObject* dict, PyObject* key, PyObject* value) {
#if defined(CORVANE_TAG_PROOFS)
    TagProof* carried = nullptr;
    for (TagProof& way : tag_set(dict).ways) {
        if (way.proven && way.version.same(dict)) {
            carried = &way;
        }
    }
    if (PyDict_SetItem(dict, key, value) < 0) {
        return -1;
    }
    // The dict's new version is that of its keys before and one exact str.
    if (carried != nullptr) {
        carried->version = DictVersion::of(dict);
    }
    return 0;
#else
    return PyDict_SetItem(dict, key, value);
#endif
}

}  // namespace corvane
