// The self-pipe: a signal handler may do next to nothing, so it writes the signal's
// number to one end of a socket pair, and a QSocketNotifier on the other end hands it
// to the event loop.
#include "shell/stop_signals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace cardsync::shell {
namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT};
int signalPair[2] = {-1, -1};  // [0] written by the handler, [1] read by the notifier

void OnSignal(int signal) {
  const unsigned char byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(signalPair[0], &byte, 1);
}

void Handle(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0) return;
  notifier_ = new QSocketNotifier(signalPair[1], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    unsigned char byte = 0;
    if (::read(signalPair[1], &byte, 1) == 1) emit received(byte);
  });
  Handle(OnSignal);
}

StopSignals::~StopSignals() {
  if (notifier_ == nullptr) return;
  Handle(SIG_DFL);
  notifier_->setEnabled(false);
  for (int& end : signalPair) {
    ::close(end);
    end = -1;
  }
}

}  // namespace cardsync::shell
