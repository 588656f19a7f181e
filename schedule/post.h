// Hands a call to the thread of a QObject, from any thread: the one way the scheduler
// and its workers pass work and outcomes to each other.
//
// Qt's event queue is guarded by a lock ThreadSanitizer cannot see (Qt is not built
// with it), so without help it takes everything a call carries across for a race. The
// hand-over is told to it here: what the poster did before posting happens before the
// call. Other builds compile the telling away.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <utility>

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace cardsync::schedule {

namespace handoff {
#if defined(__SANITIZE_THREAD__)
// One address for every queue, as if all of Qt's event queues shared one lock.
inline char token;
inline void Release() { __tsan_release(&token); }
inline void Acquire() { __tsan_acquire(&token); }
// The event Qt builds for the call is written after the release; its reader is the
// call itself, so those writes are left out.
inline void PostingBegins() { __tsan_ignore_thread_begin(); }
inline void PostingEnds() { __tsan_ignore_thread_end(); }
#else
inline void Release() {}
inline void Acquire() {}
inline void PostingBegins() {}
inline void PostingEnds() {}
#endif
}  // namespace handoff

// Runs `call` on `context`'s thread once its event loop gets to it (queued, also when
// posted from that thread). Dropped when `context` is destroyed first.
template <typename Call>
void Post(QObject* context, Call&& call) {
  handoff::Release();
  handoff::PostingBegins();
  QMetaObject::invokeMethod(
      context,
      [call = std::forward<Call>(call)]() mutable {
        handoff::Acquire();
        call();
      },
      Qt::QueuedConnection);
  handoff::PostingEnds();
}

}  // namespace cardsync::schedule
