// The TLS relay between FreeTDS and the server. FreeTDS 1.3 honours a server's
// PRELOGIN answer "encrypt the login only" even when told to require
// encryption, so a relay on the link that rewrites the answer gets the rest of
// the session in plain text. This process therefore does PRELOGIN and TLS
// itself: it accepts nothing but encryption of the whole connection (or, under
// encrypt=no, a server that cannot encrypt at all), checks the certificate, and
// gives FreeTDS a plain connection on 127.0.0.1 that only this process may take,
// answering FreeTDS's PRELOGIN with "no encryption" on that side.
#pragma once

#include <chrono>
#include <string>

#include "db/tls_client.h"

namespace cardsync::db {

struct RelayTarget {
  std::string host;
  int port = 0;
  // true: refuse a server that cannot encrypt; false: relay it in plain.
  bool requireEncryption = true;
  TlsPolicy tls;
};

// Connects to the server, agrees on encryption and completes the TLS handshake
// before `deadline`, then waits (until the deadline) for one connection from
// this process on 127.0.0.1 and relays it to the server on a thread of its own
// until either side closes. Returns that loopback port. Throws cardsync::Error
// naming the cause when the server cannot be reached, cannot or will not
// encrypt the whole connection, or its certificate fails the check.
int StartRelay(const RelayTarget& target, std::chrono::steady_clock::time_point deadline);

// What went wrong on the relay that listened on `loopbackPort` after it was
// started (FreeTDS spoke no PRELOGIN, the link broke); "" when nothing did.
std::string RelayFailure(int loopbackPort);

}  // namespace cardsync::db
