// The sentinel of a test build (CORVANE_SENTINEL): Python code that starts
// while a call is on its fast path breaks the rule the fast path rests on,
// and is reported with the step that was under way. In other builds these
// are empty and cost nothing.
#pragma once

#include "refs.hpp"
#include "steps.hpp"

namespace corvane::sentinel {

#ifdef CORVANE_SENTINEL
// A call starts on its fast path, and leaves it (or ends on it).
void enter_fast() noexcept;
void leave_fast() noexcept;
// The step a call is making: named in a report.
void step(Step step) noexcept;
// Whether `step` is among the steps planted to keep a call on its fast path
// when it should leave it: the sentinel's own test.
bool planted(Step step) noexcept;
// A choice's fast form taken: counted, for the tests that show it was.
void took(Step step) noexcept;
// The safe points of a fast render (rendering.cpp): whether each child it
// completes is one while a test waits for one, and the test's signal, made
// pending at the safe point it names.
bool every_safe_point() noexcept;
void at_safe_point() noexcept;
// Adds the module attribute `_sentinel` (arm, disarm, take, plant, steps, trip, taken),
// and lets its reports go again.
int attach(PyObject* module);
void detach();
bool kept() noexcept;
#else
inline void enter_fast() noexcept {}
inline void leave_fast() noexcept {}
inline void step(Step) noexcept {}
inline bool planted(Step) noexcept {
    return false;
}
inline void took(Step) noexcept {}
constexpr bool every_safe_point() noexcept {
    return false;
}
inline void at_safe_point() noexcept {}
inline int attach(PyObject*) {
    return 0;
}
inline void detach() {}
inline bool kept() noexcept {
    return false;
}
#endif

}  // namespace corvane::sentinel
