// Points XDG_STATE_HOME at a test's own folder while it lives, and then puts back what
// was there: the test program's own state folder (private_state.cpp), so that a test
// after it never falls back to the state of the user running the tests.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace cardsync::testing {

class StateHome {
 public:
  explicit StateHome(const QString& folder) : before_(qgetenv("XDG_STATE_HOME")) {
    qputenv("XDG_STATE_HOME", folder.toLocal8Bit());
  }
  ~StateHome() { qputenv("XDG_STATE_HOME", before_); }
  StateHome(const StateHome&) = delete;
  StateHome& operator=(const StateHome&) = delete;

 private:
  QByteArray before_;
};

}  // namespace cardsync::testing
