// The running thread's stack as the platform gives it; compiled without
// link-time optimisation, which would drop the symbol versions below.
#include "compat.hpp"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(__linux__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

// glibc 2.34 gave the thread functions new versions when it moved them into
// libc; bound to the versions they first had, the module loads on the
// oldest glibc its wheels are made for (manylinux_2_28), where libpthread,
// which the interpreter loads, defines them.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace corvane {

StackBounds read_stack_bounds() noexcept {
    StackBounds bounds;
#if defined(_WIN32)
    ULONG_PTR low = 0;
    ULONG_PTR high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    bounds.low = static_cast<uintptr_t>(low);
    bounds.high = static_cast<uintptr_t>(high);
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    const uintptr_t top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    const uintptr_t size = pthread_get_stacksize_np(self);
    bounds.low = top - size;
    bounds.high = top;
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attributes;
#if defined(__FreeBSD__)
    if (pthread_attr_init(&attributes) != 0) {
        return bounds;
    }
    const int failed = pthread_attr_get_np(pthread_self(), &attributes);
#else
    const int failed = pthread_getattr_np(pthread_self(), &attributes);
#endif
    if (failed == 0) {
        void* address = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
            bounds.low = reinterpret_cast<uintptr_t>(address);
            bounds.high = bounds.low + size;
        }
        pthread_attr_destroy(&attributes);
    }
#endif
    return bounds;
}

}  // namespace corvane
