// The program's one general error handler. Every handler's exception, and every job
// that reports a failure, ends up here: a modal stop box titled with the application
// title. GuardedApplication keeps exceptions from unwinding through Qt's event loop.
#pragma once

#include <QApplication>
#include <exception>
#include <string>

namespace cardsync::shell {

// The message as the box shows it: a full stop is added when its last byte sorts after
// "." (letters, digits, the last byte of any multi-byte character), not after "!" or ".".
std::string MessageWithFullStop(std::string message);

// Shows the modal error box (stop icon, OK button) and returns when it is closed.
void ShowErrorBox(const std::string& message);

// The text a user reads for an exception: what() of a standard exception (cardsync::Error
// included), a fixed text for anything else.
std::string ExceptionMessage(std::exception_ptr error);

// The general handler: shows the box for the exception.
void HandleException(std::exception_ptr error);

// Runs `handler`, passing anything it throws to the general handler. Slots route through
// this so that nothing they throw reaches Qt.
template <typename Handler>
void RunGuarded(Handler&& handler) {
  try {
    handler();
  } catch (...) {
    HandleException(std::current_exception());
  }
}

// QApplication whose event delivery passes exceptions to the general handler, as a
// backstop for anything a slot did not route through RunGuarded.
class GuardedApplication : public QApplication {
  Q_OBJECT
 public:
  GuardedApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace cardsync::shell
