#pragma once

// oneTBB orders everything a thread did before handing work over (spawning a task, or
// splitting a range and copying the loop body into the new task) before the thread that
// takes the work runs it, and every task before the return of the wait for it. It does
// so with atomics inside libtbb, which is not built with ThreadSanitizer, so the tool
// cannot see those orderings. These calls state them, through one process-wide point,
// at the hand-overs of the worker pool's own code. They compile to nothing in other
// builds.

#if defined(__SANITIZE_THREAD__)
#define QUILLMOOR_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QUILLMOOR_TSAN 1
#endif
#endif

#ifdef QUILLMOOR_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace quillmoor::tsan {

#ifdef QUILLMOOR_TSAN
inline char handover_point = 0;
// Called before handing work to oneTBB (or finishing a task).
inline void release_handover() noexcept { __tsan_release(&handover_point); }
// Called before touching work received from oneTBB (or after waiting for tasks).
inline void acquire_handover() noexcept { __tsan_acquire(&handover_point); }
#else
inline void release_handover() noexcept {}
inline void acquire_handover() noexcept {}
#endif

}  // namespace quillmoor::tsan
