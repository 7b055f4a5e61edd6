// Lookups remembered: what get_plugin answered for a tree and a device
// description, kept while nothing it read can have changed.
//
// A lookup whose every step took its shortcut read only exact dicts whose
// keys are proven exact strs (proofs.hpp), and from 3.12 on every such dict
// is watched. When every one of them was also made by the module (a tree
// that register_plugin built), whose values no object shares, the watcher
// is told of every change to them too. While it has been told of no change
// to any watched dict since, the same description in the same tree walks
// the same way to the same class: the walk is a function of those dicts
// alone. So each
// answer is kept with the count of watched changes it was found at, and
// serves only while that count stands still.
//
// An entry holds no reference: the tree and the class are those that the
// unchanged dicts hold, and the description is kept as its characters. It
// is answered only for a call on its fast path, its instance examined
// plain, with every argument None or an exact ASCII str. The table is
// small and of a fixed size, a new answer taking its slot's place. 3.11
// keeps nothing (a dict's version tags would prove it dict by dict along
// the path, which costs about what the walk costs), nor does a
// free-threaded build.
#pragma once

#include "proofs.hpp"

namespace corvane {

// A description as the table keeps it: for each of os, platform, model,
// os_flavor and chassis_type, None or the characters of an exact ASCII str.
class Description {
  public:
    // `values`: os, platform, model, os_flavor, chassis_type.
    explicit Description(PyObject* root, PyObject* const* values) noexcept;
    // Whether the table may keep it.
    bool kept() const noexcept { return kept_; }

  private:
    friend PyObject* remembered_lookup(const Description& description, bool stale_too);
    friend void remember_lookup(const Description& description, PyObject* cls);

    static constexpr int kValues = 5;
    PyObject* root_;
    PyObject* const* values_;
    size_t slot_ = 0;
    bool kept_ = false;
};

// The class remembered for the description (borrowed: the tree holds it),
// or nullptr. `stale_too`: the sentinel's planted case, a remembered answer
// given also after a change.
PyObject* remembered_lookup(const Description& description, bool stale_too = false);
// Keeps the class that a lookup on shortcut steps only found.
void remember_lookup(const Description& description, PyObject* cls);
// Forgets every lookup: when the interpreter finalises.
void forget_lookups();
bool lookups_kept() noexcept;

}  // namespace corvane
