// SIGTERM and SIGINT as a normal stop, for whoever drives a scheduler (--headless, the
// window): the handler only writes a byte to a socket pair, and received() is emitted
// from the event loop, where stopping a run is safe.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace cardsync::shell {

// Watches SIGTERM and SIGINT while it lives (one at a time per process); the default
// dispositions come back when it is destroyed.
class StopSignals : public QObject {
  Q_OBJECT
 public:
  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;
  // False when the socket pair could not be made: the signals then keep their defaults.
  bool Watching() const { return notifier_ != nullptr; }

 signals:
  void received(int signal);

 private:
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace cardsync::shell
