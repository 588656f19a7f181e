// OpenSSL behind the stand-in's TLS: a server context from PEM files and a
// session per connection over two memory BIOs. TLS 1.2 is the highest version
// offered, as SQL Server does for TDS 7.x: TLS 1.3 would send session tickets
// after the handshake, which a TDS client reads while it still expects
// PRELOGIN packets.
#include "tds_tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace standin::tds {

namespace {

// OpenSSL's queued reasons, oldest first; the queue is left empty.
std::string OpenSslReasons() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text.empty() ? "unknown reason" : text;
}

}  // namespace

std::shared_ptr<TlsContext> TlsContext::Load(const std::string& certFile,
                                             const std::string& keyFile) {
  std::shared_ptr<TlsContext> context(new TlsContext);
  context->ctx_ = SSL_CTX_new(TLS_server_method());
  if (!context->ctx_) throw std::runtime_error("cannot create a TLS context: " + OpenSslReasons());
  SSL_CTX_set_min_proto_version(context->ctx_, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context->ctx_, TLS1_2_VERSION);
  SSL_CTX_set_options(context->ctx_, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
  if (SSL_CTX_use_certificate_chain_file(context->ctx_, certFile.c_str()) != 1) {
    throw std::runtime_error("--tls-cert " + certFile + ": " + OpenSslReasons());
  }
  if (SSL_CTX_use_PrivateKey_file(context->ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("--tls-key " + keyFile + ": " + OpenSslReasons());
  }
  if (SSL_CTX_check_private_key(context->ctx_) != 1) {
    throw std::runtime_error("--tls-key " + keyFile + " does not belong to --tls-cert " + certFile);
  }
  return context;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsSession::TlsSession(const TlsContext& context) {
  ssl_ = SSL_new(context.get());
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  if (!ssl_ || !in_ || !out_) {
    BIO_free(in_);
    BIO_free(out_);
    SSL_free(ssl_);
    throw std::runtime_error("cannot start a TLS session: " + OpenSslReasons());
  }
  // An empty input BIO means "wait for more", not end of file.
  BIO_set_mem_eof_return(in_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

void TlsSession::Feed(std::span<const uint8_t> cipher) {
  if (cipher.empty()) return;
  if (BIO_write(in_, cipher.data(), static_cast<int>(cipher.size())) !=
      static_cast<int>(cipher.size())) {
    throw WireError("TLS: cannot buffer " + std::to_string(cipher.size()) + " bytes");
  }
}

bool TlsSession::Handshake() {
  int r = SSL_do_handshake(ssl_);
  if (r == 1) return true;
  int e = SSL_get_error(ssl_, r);
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return false;
  throw WireError("TLS handshake failed: " + OpenSslReasons());
}

Bytes TlsSession::Read(bool& closed) {
  Bytes plain;
  closed = false;
  uint8_t buf[16384];
  for (;;) {
    int n = SSL_read(ssl_, buf, sizeof buf);
    if (n > 0) {
      plain.insert(plain.end(), buf, buf + n);
      continue;
    }
    int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return plain;
    if (e == SSL_ERROR_ZERO_RETURN) {
      closed = true;
      return plain;
    }
    throw WireError("TLS: cannot read a record: " + OpenSslReasons());
  }
}

void TlsSession::Write(std::span<const uint8_t> plain) {
  size_t done = 0;
  while (done < plain.size()) {
    size_t written = 0;
    if (SSL_write_ex(ssl_, plain.data() + done, plain.size() - done, &written) != 1) {
      throw WireError("TLS: cannot write a record: " + OpenSslReasons());
    }
    done += written;
  }
}

Bytes TlsSession::TakeOutput() {
  Bytes out(static_cast<size_t>(BIO_ctrl_pending(out_)));
  if (!out.empty()) {
    int n = BIO_read(out_, out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  }
  return out;
}

}  // namespace standin::tds
