// What ThreadSanitizer cannot see for itself, told to it: a hand-over through a lock
// inside a library not built with it, and looks that are not accesses. Other builds
// compile all of it away.
#pragma once

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace cardsync::thread_sanitizer {

#if defined(__SANITIZE_THREAD__)
// What a thread did before Release(t) happens before what another does after Acquire(t).
inline void Release(void* token) { __tsan_release(token); }
inline void Acquire(void* token) { __tsan_acquire(token); }
#else
inline void Release(void*) {}
inline void Acquire(void*) {}
#endif

// While one lives, nothing this thread reads or writes is watched: neither memory nor
// descriptors (which TSan counts as accessed by every call that takes one). For code
// that only writes what no other thread has yet, or only asks the kernel about
// descriptors other threads own.
class [[maybe_unused]] Unwatched {  // a scope guard: its name is never read
 public:
#if defined(__SANITIZE_THREAD__)
  Unwatched() { __tsan_ignore_thread_begin(); }
  ~Unwatched() { __tsan_ignore_thread_end(); }
#else
  Unwatched() = default;
#endif
  Unwatched(const Unwatched&) = delete;
  Unwatched& operator=(const Unwatched&) = delete;
};

}  // namespace cardsync::thread_sanitizer
