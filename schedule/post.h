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

#include "base/thread_sanitizer.h"

namespace cardsync::schedule {

namespace handoff {
// One address for every queue, as if all of Qt's event queues shared one lock.
inline char token;
}  // namespace handoff

// Runs `call` on `context`'s thread once its event loop gets to it (queued, also when
// posted from that thread). Dropped when `context` is destroyed first.
template <typename Call>
void Post(QObject* context, Call&& call) {
  thread_sanitizer::Release(&handoff::token);
  // The event Qt builds for the call is written after the release; its only reader
  // is the call itself, on the other side of the queue, so those writes go unwatched.
  const thread_sanitizer::Unwatched posting;
  QMetaObject::invokeMethod(
      context,
      [call = std::forward<Call>(call)]() mutable {
        thread_sanitizer::Acquire(&handoff::token);
        call();
      },
      Qt::QueuedConnection);
}

}  // namespace cardsync::schedule
