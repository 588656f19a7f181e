// How cardsync makes FreeTDS check the server's certificate, and how it tells a
// user why an encrypted open failed. FreeTDS 1.3 takes "Encryption" in the
// connection string but reads the CA file and the host-name check only from a
// freetds.conf section, which its ODBC driver opens only for "Servername=", and
// checks no certificate at all unless a CA file is named; so the process gets a
// configuration file of its own, pointed at by FREETDSCONF, with one section per
// server it connects to.
#pragma once

#include <string>

#include "db/connection_settings.h"

namespace cardsync::db {

// The section the connection string names (Servername=): "cardsync-" and a
// digest of server, port and the three TLS keys, so differing settings never
// share one.
std::string FreeTdsSectionName(const ConnectionSettings& settings);

// The freetds.conf section for `settings` (its host, port and encryption level;
// for a data source, [global]), naming the CA file ("system" for the system's
// CAs) with the host-name check on, or, under trust_server_certificate=yes,
// neither. Throws SettingsError for a server name a freetds.conf line cannot hold.
std::string FreeTdsConfText(const ConnectionSettings& settings);

// Writes FreeTdsConfText to this process's own file (under $XDG_RUNTIME_DIR, else
// the temporary folder; owner-only, removed at exit) and points FREETDSCONF at it.
// FREETDSCONF is set once, on the first call; later calls only replace the file,
// which FreeTDS reads afresh at every connect. Throws cardsync::Error when the file
// cannot be written.
void ApplyFreeTdsTls(const ConnectionSettings& settings);

// What the server answers to a PRELOGIN that asks for encryption.
enum class ServerEncryption { Unreachable, Offered, NotOffered };
ServerEncryption ProbeServerEncryption(const std::string& host, int port, int timeoutSeconds);

// After a failed open: the message that names the cause when it was encryption
// (a server that cannot encrypt, a certificate that is not trusted), else "".
// Asks the server itself (ProbeServerEncryption), because FreeTDS reports both
// as a plain connection failure.
std::string ExplainTlsFailure(const ConnectionSettings& settings, const std::string& driverText);

}  // namespace cardsync::db
