// The TLS client of the relay, OpenSSL over memory buffers: the relay moves the
// bytes itself, because in TDS 7.x the handshake travels inside PRELOGIN packets
// and only afterwards as bare TLS records. The certificate is checked here, by
// the program, against ca_file or the system's CAs and the server's name.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "db/tls_prelogin.h"

namespace cardsync::db {

struct TlsPolicy {
  bool verify = true;    // false: trust_server_certificate=yes
  std::string caFile;    // empty: the system's CAs
  std::string hostName;  // the name (or address) the certificate must hold
};

// Why `path` cannot serve as ca_file ("cannot be read", "holds no PEM
// certificate"), "" when it can.
std::string CaFileProblem(const std::string& path);

class TlsClient {
 public:
  // Throws cardsync::Error when ca_file cannot be read or holds no PEM certificate.
  explicit TlsClient(const TlsPolicy& policy);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Bytes that came from the server, for the handshake or for Decrypt.
  void FromServer(std::span<const std::uint8_t> raw);
  // One handshake step; what it produced for the server is appended to `toServer`.
  // True when the handshake is complete, false when it needs more from the server.
  // Throws cardsync::Error naming the cause (certificate, protocol) on failure.
  bool Handshake(tds::Bytes& toServer);
  // Plain text from FreeTDS to TLS records for the server.
  void Encrypt(std::span<const std::uint8_t> plain, tds::Bytes& toServer);
  // Decrypts what FromServer gave into `plain` (and anything TLS itself must
  // answer into `toServer`). False once the server has closed the TLS session.
  // Throws cardsync::Error on a record that does not decrypt.
  bool Decrypt(tds::Bytes& plain, tds::Bytes& toServer);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace cardsync::db
