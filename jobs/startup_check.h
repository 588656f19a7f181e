// The log-in a scheduler makes when it starts, so a wrong password or an unreachable
// server shows the moment the window opens or the service starts, not at 01:00 the
// next night. It logs in and out and writes nothing.
//
// Runs on the calling thread with that thread's own connection (`database`), like a job;
// the scheduler calls it on a worker.
#pragma once

#include <string>

#include "db/database.h"

namespace cardsync::jobs {

struct ConnectionCheck {
  bool connected = false;
  // "connected to host:port/database" (the server the connection reached, a data
  // source's as it resolved), else the connection's own error text.
  std::string text;
};

// Opens `database` with the settings it reads, then closes it again. A stop raised
// through the database's stop flag ends a wait for the server as a failure.
ConnectionCheck CheckConnection(db::Database& database);

}  // namespace cardsync::jobs
