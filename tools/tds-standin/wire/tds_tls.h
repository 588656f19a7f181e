// TLS for the stand-in's wire side, on OpenSSL memory BIOs: the socket stays
// with the connection, which hands this class the bytes it read and sends the
// bytes it is given. That suits TDS, whose handshake travels inside PRELOGIN
// packets before the records go raw on the socket.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "tds_buffer.h"

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

namespace standin::tds {

// The server's certificate and key, loaded once and shared by every connection.
class TlsContext {
 public:
  // Throws std::runtime_error naming the file and OpenSSL's reason when the
  // certificate or the key cannot be loaded or do not belong together.
  static std::shared_ptr<TlsContext> Load(const std::string& certFile, const std::string& keyFile);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;
  ssl_ctx_st* get() const { return ctx_; }

 private:
  TlsContext() = default;
  ssl_ctx_st* ctx_ = nullptr;
};

// One connection's TLS state. Every failure throws WireError with OpenSSL's
// reason, which ends that connection only.
class TlsSession {
 public:
  explicit TlsSession(const TlsContext& context);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Feeds ciphertext that arrived from the client.
  void Feed(std::span<const uint8_t> cipher);
  // Advances the handshake on what was fed; true once it is complete.
  bool Handshake();
  // Plaintext decrypted from what was fed so far (possibly none). Sets
  // `closed` when the client sent its close notification.
  Bytes Read(bool& closed);
  // Encrypts plaintext; the records wait in TakeOutput().
  void Write(std::span<const uint8_t> plain);
  // Ciphertext waiting to go to the client.
  Bytes TakeOutput();

 private:
  ssl_st* ssl_ = nullptr;
  bio_st* in_ = nullptr;   // owned by ssl_
  bio_st* out_ = nullptr;  // owned by ssl_
};

}  // namespace standin::tds
