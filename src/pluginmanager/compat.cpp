// The room a thread's stack must keep, and the depth of the Python stack.
#include "compat.hpp"

#include "proofs.hpp"

namespace corvane {
namespace {

// The stack a call into Python code may still use below the guard: enough
// for one round of Python code and the module's own frames, with room to
// spare for what that code calls. Half the stack of a small thread at most.
constexpr uintptr_t kMargin = uintptr_t{128} << 10;

StackRoom stack_room() {
    const StackBounds bounds = read_stack_bounds();
    if (bounds.high <= bounds.low) {
        return {0, 0};
    }
    const uintptr_t size = bounds.high - bounds.low;
    return {bounds.low, kMargin < size / 2 ? kMargin : size / 2};
}

}  // namespace

const StackRoom& thread_stack_room() noexcept {
    static thread_local const StackRoom room = stack_room();
    return room;
}

int recursion_room() {
#if PY_VERSION_HEX < 0x030C0000
    return thread_recursion_remaining();
#else
    int depth = 0;
    Ref frame =
        Ref::steal(reinterpret_cast<PyObject*>(PyThreadState_GetFrame(PyThreadState_Get())));
    while (frame) {
        ++depth;
        frame = Ref::steal(reinterpret_cast<PyObject*>(
            PyFrame_GetBack(reinterpret_cast<PyFrameObject*>(frame.get()))));
    }
    return Py_GetRecursionLimit() - depth;
#endif
}

}  // namespace corvane
