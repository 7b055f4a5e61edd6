// The tables of proofs (proofs.hpp), and the dict watcher that keeps them
// from 3.12 on.
#include "proofs.hpp"

namespace corvane {

#if defined(CORVANE_TAG_PROOFS)

TagSet g_tag_proofs[size_t{1} << kTagSetBits];

bool prove_by_tag(PyObject* dict, TagSet& set) {
    const bool proven = keys_are_exact_strs(dict);
    for (int way = kTagWays - 1; way > 0; --way) {
        set.ways[way] = set.ways[way - 1];
    }
    set.ways[0] = {DictVersion::of(dict), proven};
    return proven;
}

bool DictMark::take(PyObject* dict) {
    version_ = DictVersion::of(dict);
    return true;
}

int attach_proofs() {
    return 0;
}

void detach_proofs() {
    for (TagSet& set : g_tag_proofs) {
        set = {};
    }
}

bool proofs_kept() noexcept {
    for (const TagSet& set : g_tag_proofs) {
        for (const TagProof& way : set.ways) {
            if (way.version.taken()) {
                return true;
            }
        }
    }
    return false;
}

#elif defined(CORVANE_WATCHED_PROOFS)

WatchedDicts g_watched;
uint64_t g_watched_changes = 0;

namespace {

int g_watcher = -1;

// What a change of a watched dict does to what is known of it:
// - keys proven exact strs: a key of another kind added refutes them;
// - keys refuted: a key deleted or the dict cleared may leave only exact
//   strs, so the dict is scanned again when it is next looked into;
// - a dict cloned into (its keys replaced at once) or deallocated is
//   forgotten.
// Each change is made in place, in the entry the dict has: none needs
// memory.
int on_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    ++g_watched_changes;
    Keys* keys = g_watched.find(dict);
    if (keys == nullptr) {
        return 0;
    }
    switch (event) {
        case PyDict_EVENT_ADDED:
            if (!PyUnicode_CheckExact(key)) {
                *keys = Keys::refuted;
            }
            return 0;
        case PyDict_EVENT_MODIFIED:
            return 0;
        case PyDict_EVENT_DELETED:
        case PyDict_EVENT_CLEARED:
            if (*keys == Keys::refuted) {
                g_watched.forget(dict);
            }
            return 0;
        default:
            g_watched.forget(dict);
            return 0;
    }
}

}  // namespace

int WatchedDicts::add(PyObject* dict, Keys keys) {
    if (2 * (used_ + 1) > capacity() && grow() < 0) {
        return -1;
    }
    place(dict, keys);
    ++used_;
    return 0;
}

void WatchedDicts::place(PyObject* dict, Keys keys) {
    size_t i = home(dict);
    while (slots_[i].dict != nullptr) {
        i = (i + 1) & mask_;
    }
    slots_[i] = {dict, keys};
}

void WatchedDicts::forget(PyObject* dict) {
    if (slots_ == nullptr) {
        return;
    }
    size_t i = home(dict);
    while (slots_[i].dict != dict) {
        if (slots_[i].dict == nullptr) {
            return;
        }
        i = (i + 1) & mask_;
    }
    // Shift back every entry after it that would not be found past the hole.
    for (size_t j = (i + 1) & mask_; slots_[j].dict != nullptr; j = (j + 1) & mask_) {
        const size_t wanted = home(slots_[j].dict);
        if (i <= j ? (wanted <= i || wanted > j) : (wanted <= i && wanted > j)) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i].dict = nullptr;
    --used_;
}

void WatchedDicts::clear() {
    PyMem_Free(slots_);
    *this = WatchedDicts();
}

int WatchedDicts::grow() {
    const size_t capacity = slots_ == nullptr ? 64 : 2 * (mask_ + 1);
    Slot* slots = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
    if (slots == nullptr) {
        return -1;
    }
    Slot* old = slots_;
    const size_t old_capacity = this->capacity();
    slots_ = slots;
    mask_ = capacity - 1;
    shift_ = 64;
    for (size_t size = capacity; size > 1; size >>= 1) {
        --shift_;
    }
    for (size_t i = 0; i < old_capacity; ++i) {
        if (old[i].dict != nullptr) {
            place(old[i].dict, old[i].keys);
        }
    }
    PyMem_Free(old);
    return 0;
}

bool DictMark::take(PyObject* dict) {
    // A watched dict has its entry in the table, its keys proven or not.
    if (g_watched.find(dict) == nullptr) {
        prove_watched(dict);
    }
    return g_watched.find(dict) != nullptr;
}

bool prove_watched(PyObject* dict) {
    if (g_watcher < 0) {
        return false;
    }
    const bool all_str = keys_are_exact_strs(dict);
    // Without room to remember it, the proof is not kept: the written steps
    // serve.
    if (PyDict_Watch(g_watcher, dict) < 0 ||
        g_watched.add(dict, all_str ? Keys::proven : Keys::refuted) < 0) {
        PyErr_Clear();
        return false;
    }
    return all_str;
}

void note_made_watched(PyObject* dict) {
    // A dict just made has no entry: a watched dict's goes when it is
    // deallocated, before its memory can be another's. Without room to note
    // it, it is not noted: lookups in it are not kept.
    if (g_watcher < 0) {
        return;
    }
    if (PyDict_Watch(g_watcher, dict) < 0 || g_watched.add(dict, Keys::made) < 0) {
        PyErr_Clear();
    }
}

int attach_proofs() {
    if (g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_dict_change);
        // Every watcher slot taken: nothing is kept, and the written steps
        // serve.
        if (g_watcher < 0) {
            PyErr_Clear();
        }
    }
    return 0;
}

void detach_proofs() {
    if (g_watcher >= 0 && PyDict_ClearWatcher(g_watcher) < 0) {
        PyErr_Clear();
    }
    g_watcher = -1;
    g_watched.clear();
}

bool proofs_kept() noexcept {
    return g_watcher >= 0 || g_watched.holds_memory();
}

#else

bool DictMark::take(PyObject*) {
    return false;
}

int attach_proofs() {
    return 0;
}

void detach_proofs() {}

bool proofs_kept() noexcept {
    return false;
}

#endif

}  // namespace corvane
