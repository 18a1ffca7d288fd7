/* Linked into test programs run under qemu-user only (with -Wl,--wrap=pthread_getattr_np).
 *
 * musl finds the main thread's stack by probing downwards with mremap until the kernel
 * answers with something other than ENOMEM. qemu-user's mremap answers ENOMEM for every
 * guest page, so the probe never ends, and any library asking for the main thread's stack
 * bounds (oneTBB does, when a thread first joins it) hangs. For the main thread this
 * answers from the stack size limit instead; every other thread gets musl's answer. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdint.h>
#include <sys/resource.h>
#include <unistd.h>

int __real_pthread_getattr_np(pthread_t thread, pthread_attr_t* attr);

int __wrap_pthread_getattr_np(pthread_t thread, pthread_attr_t* attr) {
    if (getpid() != gettid() || !pthread_equal(thread, pthread_self())) {
        return __real_pthread_getattr_np(thread, attr);
    }
    struct rlimit limit;
    size_t size = 8u << 20;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < (64u << 20)) {
        size = (size_t)limit.rlim_cur;
    }
    const size_t page = (size_t)sysconf(_SC_PAGESIZE);
    /* The top of the stack lies a little above this frame; round up to the next page. */
    uintptr_t top = ((uintptr_t)__builtin_frame_address(0) + 64 * page) & ~(uintptr_t)(page - 1);
    int rc = pthread_attr_init(attr);
    if (rc == 0) {
        rc = pthread_attr_setstack(attr, (void*)(top - size), size);
    }
    return rc;
}
