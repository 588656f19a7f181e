// OpenSSL client session on memory BIOs, and the one place that turns a failed
// handshake into the words an operator acts on: which certificate check failed
// and which key in [database] changes it.
#include "db/tls_client.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "base/error.h"

namespace cardsync::db {
namespace {

constexpr const char* kNotTrusted = "the server's certificate is not trusted: ";
constexpr const char* kSkipCheck = " (trust_server_certificate=yes in [database] skips the check)";
constexpr std::size_t kChunk = 16384;

std::string OpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// The DNS names and addresses a certificate is made out for, for the message
// that says which host it belongs to.
std::string NamesIn(X509* certificate) {
  std::string names;
  auto* list = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; list != nullptr && i < sk_GENERAL_NAME_num(list); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(list, i);
    std::string one;
    if (name->type == GEN_DNS) {
      one.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)),
                 std::size_t(ASN1_STRING_length(name->d.dNSName)));
    } else if (name->type == GEN_IPADD) {
      char text[INET6_ADDRSTRLEN] = {};
      const int size = ASN1_STRING_length(name->d.iPAddress);
      if (size == 4 || size == 16)
        ::inet_ntop(size == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(name->d.iPAddress), text,
                    sizeof text);
      one = text;
    }
    if (!one.empty()) names += (names.empty() ? "" : ", ") + one;
  }
  GENERAL_NAMES_free(list);
  return names.empty() ? "no host name" : names;
}

int ExDataIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

}  // namespace

std::string CaFileProblem(const std::string& path) {
  if (::access(path.c_str(), R_OK) != 0 || !std::ifstream(path).good()) return "cannot be read";
  // The same reader OpenSSL's own loading uses: at least one certificate in PEM.
  X509_STORE* store = X509_STORE_new();
  const bool loaded = store != nullptr && X509_STORE_load_file(store, path.c_str()) == 1;
  X509_STORE_free(store);
  ERR_clear_error();
  return loaded ? std::string() : "holds no PEM certificate";
}

struct TlsClient::State {
  TlsPolicy policy;
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // what came from the server; owned by ssl
  BIO* out = nullptr;  // what goes to the server; owned by ssl
  std::string leafNames;

  ~State() {
    SSL_free(ssl);
    SSL_CTX_free(context);
  }

  static int OnVerify(int ok, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* state = static_cast<State*>(SSL_get_ex_data(ssl, ExDataIndex()));
    if (state != nullptr && X509_STORE_CTX_get_error_depth(store) == 0) {
      if (X509* leaf = X509_STORE_CTX_get_current_cert(store)) state->leafNames = NamesIn(leaf);
    }
    return ok;
  }

  void LoadCas() {
    if (!policy.verify) return;
    if (policy.caFile.empty()) {
      SSL_CTX_set_default_verify_paths(context);
      return;
    }
    if (const std::string problem = CaFileProblem(policy.caFile); !problem.empty())
      throw Error("ca_file " + policy.caFile + " " + problem);
    if (SSL_CTX_load_verify_file(context, policy.caFile.c_str()) != 1) {
      throw Error("ca_file " + policy.caFile + " cannot be loaded: " + OpenSslReason());
    }
  }

  std::string CaSource() const {
    return policy.caFile.empty() ? "the system's CA store" : "ca_file " + policy.caFile;
  }

  std::string FailureText() {
    const long verified = SSL_get_verify_result(ssl);
    if (!policy.verify || verified == X509_V_OK) {
      return "the TLS handshake with the server failed: " + OpenSslReason();
    }
    ERR_clear_error();
    if (verified == X509_V_ERR_HOSTNAME_MISMATCH || verified == X509_V_ERR_IP_ADDRESS_MISMATCH) {
      return kNotTrusted + std::string("it is made out for ") + leafNames + ", not for " +
             policy.hostName + ", the server named in [database]; connect by a name it holds" +
             kSkipCheck;
    }
    const std::string reason = X509_verify_cert_error_string(verified);
    if (verified == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
        verified == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
        verified == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
        verified == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
        verified == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE) {
      return kNotTrusted + std::string("it is not signed by a CA in ") + CaSource() + " (" +
             reason + "); set ca_file in [database] to the CA that signed it" + kSkipCheck;
    }
    return kNotTrusted + reason + kSkipCheck;
  }
};

TlsClient::TlsClient(const TlsPolicy& policy) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.policy = policy;
  s.context = SSL_CTX_new(TLS_client_method());
  if (s.context == nullptr) throw Error("cannot set up TLS: " + OpenSslReason());
  // TDS 7.x wraps the handshake in its packets; the servers that do so speak
  // TLS 1.2, and anything older is no protection.
  SSL_CTX_set_min_proto_version(s.context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(s.context, TLS1_2_VERSION);
  s.LoadCas();
  SSL_CTX_set_verify(s.context, policy.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                     policy.verify ? &State::OnVerify : nullptr);
  s.ssl = SSL_new(s.context);
  if (s.ssl == nullptr) throw Error("cannot set up TLS: " + OpenSslReason());
  SSL_set_ex_data(s.ssl, ExDataIndex(), &s);
  if (policy.verify) {
    X509_VERIFY_PARAM* param = SSL_get0_param(s.ssl);
    // An address is checked against the certificate's IP entries, a name
    // against its DNS names.
    if (X509_VERIFY_PARAM_set1_ip_asc(param, policy.hostName.c_str()) != 1) {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, policy.hostName.c_str(), policy.hostName.size());
    }
  }
  if (in6_addr any{}; ::inet_pton(AF_INET6, policy.hostName.c_str(), &any) != 1 &&
                      ::inet_pton(AF_INET, policy.hostName.c_str(), &any) != 1) {
    SSL_set_tlsext_host_name(s.ssl, policy.hostName.c_str());
  }
  s.in = BIO_new(BIO_s_mem());
  s.out = BIO_new(BIO_s_mem());
  BIO_set_mem_eof_return(s.in, -1);  // empty means "more to come", not end of stream
  SSL_set_bio(s.ssl, s.in, s.out);
  SSL_set_connect_state(s.ssl);
}

TlsClient::~TlsClient() = default;

namespace {

void Drain(BIO* out, tds::Bytes& into) {
  std::uint8_t buffer[kChunk];
  for (int got; (got = BIO_read(out, buffer, sizeof buffer)) > 0;)
    into.insert(into.end(), buffer, buffer + got);
}

}  // namespace

void TlsClient::FromServer(std::span<const std::uint8_t> raw) {
  if (!raw.empty()) BIO_write(state_->in, raw.data(), int(raw.size()));
}

bool TlsClient::Handshake(tds::Bytes& toServer) {
  const int result = SSL_do_handshake(state_->ssl);
  Drain(state_->out, toServer);
  if (result == 1) return true;
  if (SSL_get_error(state_->ssl, result) == SSL_ERROR_WANT_READ) return false;
  throw Error(state_->FailureText());
}

void TlsClient::Encrypt(std::span<const std::uint8_t> plain, tds::Bytes& toServer) {
  std::size_t written = 0;
  if (!plain.empty() && SSL_write_ex(state_->ssl, plain.data(), plain.size(), &written) != 1)
    throw Error("cannot encrypt for the server: " + OpenSslReason());
  Drain(state_->out, toServer);
}

bool TlsClient::Decrypt(tds::Bytes& plain, tds::Bytes& toServer) {
  std::uint8_t buffer[kChunk];
  for (;;) {
    std::size_t got = 0;
    if (SSL_read_ex(state_->ssl, buffer, sizeof buffer, &got) == 1) {
      plain.insert(plain.end(), buffer, buffer + got);
      continue;
    }
    Drain(state_->out, toServer);
    switch (SSL_get_error(state_->ssl, 0)) {
      case SSL_ERROR_WANT_READ:
        return true;
      case SSL_ERROR_ZERO_RETURN:
        return false;
      default:
        throw Error("the encrypted link to the server broke: " + OpenSslReason());
    }
  }
}

}  // namespace cardsync::db
