// What the scheduler tests share: a day of the scripted March 2024, and a wait that
// keeps the event loop turning, so outcomes posted from the job workers arrive.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include "clock/datetime.h"

namespace cardsync::schedule::testing_support {

inline DateTime At(int day, int hour, int minute = 0, int second = 0, int ms = 0) {
  return EncodeDateTime(2024, 3, day, hour, minute, second, ms);
}

// Runs the event loop until `done` holds or `ms` passed.
template <typename Done>
bool WaitUntil(Done done, int ms = 20000) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!done() && elapsed.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(2);
  }
  return done();
}

}  // namespace cardsync::schedule::testing_support
