// The deployment settings file: what a good file yields as a connection string,
// and that every broken file names itself and the key at fault.
#include "db/connection_settings.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <utility>
#include <vector>

#include "base/error.h"
#include "db/database.h"
#include "reporting_server.h"

namespace cardsync::db {
namespace {

using testing::StandinServer;

class SettingsFile : public ::testing::Test {
 protected:
  // A file of its own each time, so a row never reads what an earlier one wrote.
  std::string Write(const std::string& content) {
    const std::string path =
        dir_.filePath(QStringLiteral("cardsync-%1.ini").arg(++written_)).toStdString();
    std::ofstream(path, std::ios::trunc) << content;
    return path;
  }
  QTemporaryDir dir_;
  int written_ = 0;
};

// FreeTDS gets the relay on 127.0.0.1 (here port 4321), never the server: what
// the settings (and a data source) say reaches it escaped, with its own
// encryption off because the relay encrypts.
TEST_F(SettingsFile, GoodFilesGiveTheirConnectionStrings) {
  const std::string odbcIni = dir_.filePath("odbc.ini").toStdString();
  std::ofstream(odbcIni) << "[Reporting]\nDriver=FreeTDS\nServer=db.example\nPort=1500\n"
                            "Database=fromdsn\nTDS_Version=7.3\nEncryption=off\nUID=dsnuser\n";
  ::setenv("ODBCINI", odbcIni.c_str(), 1);
  struct Case {
    const char* name;
    const char* content;
    const char* connectionString;
    const char* server;  // where the relay connects
    int port;
  };
  const Case cases[] = {
      {"defaults",
       "[database]\nserver=db.example\ndatabase=reporting\nuser=cardsync\npassword=secret\n",
       "Driver=FreeTDS;Server=127.0.0.1;Port=4321;Database=reporting;UID=cardsync;PWD=secret;"
       "Encryption=off;TDS_Version=7.4;ClientCharset=UTF-8",
       "db.example", 1433},
      {"every key",
       "[database]\ndriver=Other "
       "Driver\nserver=10.0.0.5\nport=14330\ndatabase=rep\nuser=u\npassword=p\n"
       "login_timeout=5\nquery_timeout=0\nodbc_options=\"TDS_Version=7.3;ClientCharset=UTF-8\"\n",
       "Driver=Other Driver;Server=127.0.0.1;Port=4321;Database=rep;UID=u;PWD=p;Encryption=off;"
       "TDS_Version=7.3;ClientCharset=UTF-8",
       "10.0.0.5", 14330},
      {"dsn: its driver, server, port, database and protocol keys, not its login or encryption",
       "[database]\ndsn=Reporting\ndriver=Ignored\nserver=ignored\nport=1\nuser=u\npassword=p\n",
       "Driver=FreeTDS;Server=127.0.0.1;Port=4321;Database=fromdsn;UID=u;PWD=p;Encryption=off;"
       "TDS_Version=7.3;TDS_Version=7.4;ClientCharset=UTF-8",
       "db.example", 1500},
      {"dsn with database", "[database]\ndsn=Reporting\ndatabase=other\nuser=u\npassword=p\n",
       "Driver=FreeTDS;Server=127.0.0.1;Port=4321;Database=other;UID=u;PWD=p;Encryption=off;"
       "TDS_Version=7.3;TDS_Version=7.4;ClientCharset=UTF-8",
       "db.example", 1500},
      {"semicolon and brace in password are braced",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=\"a;b{c\"\n",
       "Driver=FreeTDS;Server=127.0.0.1;Port=4321;Database=d;UID=u;PWD={a;b{c};Encryption=off;"
       "TDS_Version=7.4;ClientCharset=UTF-8",
       "h", 1433},
      {"unquoted comma in password survives",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=a,b\n",
       "Driver=FreeTDS;Server=127.0.0.1;Port=4321;Database=d;UID=u;PWD=a,b;Encryption=off;"
       "TDS_Version=7.4;ClientCharset=UTF-8",
       "h", 1433},
      {"empty options", "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nodbc_options=\n",
       "Driver=FreeTDS;Server=127.0.0.1;Port=4321;Database=d;UID=u;PWD=p;Encryption=off", "h",
       1433},
      {"encrypt=no: FreeTDS still talks plain to the relay",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nencrypt=no\nodbc_options=\n",
       "Driver=FreeTDS;Server=127.0.0.1;Port=4321;Database=d;UID=u;PWD=p;Encryption=off", "h",
       1433},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectionSettings settings = ReadConnectionSettings(Write(c.content));
    EXPECT_EQ(settings.server, c.server);
    EXPECT_EQ(settings.port, c.port);
    EXPECT_THROW(OdbcConnectionString(settings), Error) << "the server itself, not the relay";
    settings.relayed = true;
    settings.server = "127.0.0.1";
    settings.port = 4321;
    EXPECT_EQ(OdbcConnectionString(settings), c.connectionString);
  }
  ::unsetenv("ODBCINI");
}

TEST_F(SettingsFile, TimeoutsAreRead) {
  const ConnectionSettings settings = ReadConnectionSettings(Write(
      "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nlogin_timeout=7\nquery_timeout=0\n"));
  EXPECT_EQ(settings.loginTimeoutSeconds, 7);
  EXPECT_EQ(settings.queryTimeoutSeconds, 0);
  const ConnectionSettings defaults =
      ReadConnectionSettings(Write("[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\n"));
  EXPECT_EQ(defaults.loginTimeoutSeconds, 30);
  EXPECT_EQ(defaults.queryTimeoutSeconds, 30);
}

// The database's default open reads [transfer] from the same file as the connection,
// so the jobs write in the chunks the file asks for.
TEST_F(SettingsFile, DefaultOpenCarriesTheTransferSection) {
  const std::string path = Write(
      "[database]\nserver=127.0.0.1\nport=1\ndatabase=d\nuser=u\npassword=p\nlogin_timeout=1\n"
      "[transfer]\nbatch_size=1\nprevious_day_special_cards=no\n");
  ::setenv("CARDSYNC_SETTINGS", path.c_str(), 1);
  Database database;
  EXPECT_FALSE(database.OpenDatabase());  // nothing listens on port 1
  ::unsetenv("CARDSYNC_SETTINGS");
  EXPECT_EQ(database.TransferSettings().batchSize, 1);
  EXPECT_FALSE(database.TransferSettings().previousDaySpecialCards);
}

// The session's lock wait stays below the request's own, or a blocked write would end as
// a time-out instead of 1222 and its retry.
TEST_F(SettingsFile, LockTimeoutStaysBelowTheQueryTimeout) {
  struct Case {
    const char* keys;
    int lockTimeout;  // -1: refused
  };
  const Case cases[] = {
      {"", 10},
      {"query_timeout=5\n", 4},
      {"query_timeout=1\n", 1},
      {"query_timeout=0\n", 10},
      {"lock_timeout=3\nquery_timeout=5\n", 3},
      {"lock_timeout=30\n", -1},
      {"lock_timeout=5\nquery_timeout=5\n", -1},
      {"lock_timeout=0\n", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    const std::string path =
        Write(std::string("[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\n") + c.keys);
    if (c.lockTimeout < 0) {
      EXPECT_THROW(ReadConnectionSettings(path), SettingsError);
    } else {
      EXPECT_EQ(ReadConnectionSettings(path).lockTimeoutSeconds, c.lockTimeout);
    }
  }
}

// What the certificate keys decide, read from a file so the defaults are the
// file's: each row a server's certificate and whether the connection opens.
TEST_F(SettingsFile, CertificateKeysDecideWhatIsChecked) {
  StandinServer::Options rightHost;
  StandinServer::Options wrongHost;
  wrongHost.tlsCert = testing::TestCertificate("wrong-host.pem");
  wrongHost.tlsKey = testing::TestCertificate("wrong-host-key.pem");
  const std::string ca = testing::TestCertificate("ca.pem");
  const std::string otherCa = testing::TestCertificate("other-ca.pem");
  struct Case {
    const char* name;
    const StandinServer::Options* server;
    std::string keys;
    std::optional<std::string> refusal;  // nothing: it opens
  };
  const Case cases[] = {
      {"defaults: the system's CAs, which signed no test certificate", &rightHost, "",
       "not signed by a CA in the system's CA store"},
      {"own CA file", &rightHost, "ca_file=" + ca + "\n", std::nullopt},
      {"own CA file, certificate for another host (the check is on by default)", &wrongHost,
       "ca_file=" + ca + "\n", "it is made out for db.invalid, not for 127.0.0.1"},
      {"a CA that signed nothing of ours", &rightHost, "ca_file=" + otherCa + "\n",
       "not signed by a CA in ca_file " + otherCa},
      {"trusted without a check", &wrongHost,
       "trust_server_certificate=yes\nca_file=" + otherCa + "\n", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer server(*c.server);
    const std::string path = Write(
        "[database]\nserver=127.0.0.1\nport=" + std::to_string(server.port()) +
        "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\nlogin_timeout=10\n" + c.keys);
    Database database([path] { return ReadConnectionSettings(path); });
    EXPECT_EQ(database.OpenDatabase(), !c.refusal) << database.LastConnectError();
    if (c.refusal) {
      EXPECT_NE(database.LastConnectError().find("the server's certificate is not trusted"),
                std::string::npos)
          << database.LastConnectError();
      EXPECT_NE(database.LastConnectError().find(*c.refusal), std::string::npos)
          << database.LastConnectError();
    }
  }
}

TEST_F(SettingsFile, BrokenFilesNameTheFileAndTheKey) {
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file at all
    const char* mentioned;
  };
  const Case cases[] = {
      {"missing file", nullptr, "not found"},
      {"missing section", "[transfer]\nbatch_size=5\n", "section [database] is missing"},
      {"missing server", "[database]\ndatabase=d\nuser=u\npassword=p\n", "'server'"},
      {"missing database", "[database]\nserver=h\nuser=u\npassword=p\n", "'database'"},
      {"missing user", "[database]\nserver=h\ndatabase=d\npassword=p\n", "'user'"},
      {"empty password", "[database]\nserver=h\ndatabase=d\nuser=u\npassword=\n", "'password'"},
      {"dsn still needs the password", "[database]\ndsn=Reporting\nuser=u\n", "'password'"},
      {"port not a number", "[database]\nserver=h\nport=abc\ndatabase=d\nuser=u\npassword=p\n",
       "'port'"},
      {"port out of range", "[database]\nserver=h\nport=70000\ndatabase=d\nuser=u\npassword=p\n",
       "'port'"},
      {"chunk past the server's parameter limit",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\n[transfer]\nbatch_size=210\n",
       "'batch_size'"},
      {"bad login timeout",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nlogin_timeout=0\n",
       "'login_timeout'"},
      {"malformed", "[database\nserver", "line 1: '[database' is neither key=value nor [section]"},
      {"misspelt key", "[database]\nserver=h\ndatabse=d\nuser=u\npassword=p\n",
       "line 3: unknown key 'databse' in [database]; did you mean database?"},
      {"encrypt neither yes nor no",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nencrypt=maybe\n", "'encrypt'"},
      {"bad trust value",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\ntrust_server_certificate=2\n",
       "'trust_server_certificate'"},
      {"ca_file missing",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nca_file=/nonexistent/ca.pem\n",
       "'ca_file'"},
      {"ca_file not there, its name holding ';'",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nca_file=\"/etc/ssl/a;b.pem\"\n",
       "'ca_file'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        c.content ? Write(c.content) : dir_.filePath("absent.ini").toStdString();
    try {
      ReadConnectionSettings(path);
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(path), std::string::npos) << message;
      EXPECT_NE(message.find(c.mentioned), std::string::npos) << message;
    }
  }
}

// odbc_options may not decide what a key of its own decides, in any spelling a
// driver or the driver manager reads: each row is one way in, refused by name
// with the key to use.
TEST_F(SettingsFile, OdbcOptionsMayNotSetWhatAKeyDecides) {
  struct Case {
    const char* options;
    const char* named;
    const char* instead;
  };
  const Case cases[] = {
      {"Encryption=off", "'Encryption'", "use encrypt in [database]"},
      {"TDS_Version=7.4;encryption=request", "'encryption'", "use encrypt in [database]"},
      {"Encrypt=no", "'Encrypt'", "use encrypt in [database]"},
      {"TrustServerCertificate=yes", "'TrustServerCertificate'", "use trust_server_certificate"},
      {"Trust_Server_Certificate=yes", "'Trust_Server_Certificate'",
       "use trust_server_certificate"},
      {"HostNameInCertificate=db.invalid", "'HostNameInCertificate'", "use server"},
      {"ca file=/etc/ssl/x.pem", "'ca file'", "use ca_file"},
      {"check certificate hostname=no", "'check certificate hostname'",
       "use trust_server_certificate"},
      {"Server=evil.example", "'Server'", "use server in [database]"},
      {"Servername=evil", "'Servername'", "use server"},
      {"SERVERNAME=evil", "'SERVERNAME'", "use server"},
      {"Address=10.9.9.9", "'Address'", "use server"},
      {"host=evil.example", "'host'", "use server"},
      {"Port=1", "'Port'", "use port"},
      {"UID=sa", "'UID'", "use user"},
      {"User=sa", "'User'", "use user"},
      {"Username=sa", "'Username'", "use user"},
      {"User ID=sa", "'User ID'", "use user"},
      {"Trusted_Connection=yes", "'Trusted_Connection'", "use user and password"},
      {"PWD=other", "'PWD'", "use password"},
      {"TDS_Version=7.4; Password=other", "'Password'", "use password"},
      {"Database=master", "'Database'", "use database"},
      {"Initial Catalog=master", "'Initial Catalog'", "use database"},
      {"AttachDbFilename=/x.mdf", "'AttachDbFilename'", "use database"},
      {"DSN=Other", "'DSN'", "use dsn"},
      {"FileDSN=/home/ops/x.dsn", "'FileDSN'", "use dsn"},
      {"Driver=Other", "'Driver'", "use driver"},
      {"SaveFile=/home/ops/saved", "'SaveFile'", "leave it out"},
      {"DumpFile=/home/ops/dump", "'DumpFile'", "leave it out"},
      {"APP={x};Server=evil", "'Server'", "use server"},
      {"ClientCharset=UTF-8;nonsense", "'nonsense', which is not key=value", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string path = Write(std::string("[database]\nserver=h\ndatabase=d\nuser=u\n") +
                                   "password=p\nodbc_options=\"" + c.options + "\"\n");
    try {
      ReadConnectionSettings(path);
      ADD_FAILURE() << "not refused";
    } catch (const SettingsError& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(path + ": key 'odbc_options' in [database]"), std::string::npos)
          << message;
      EXPECT_NE(message.find(c.named), std::string::npos) << message;
      EXPECT_NE(message.find(c.instead), std::string::npos) << message;
    }
  }
  // What FreeTDS is otherwise allowed to be told stays allowed.
  EXPECT_NO_THROW(ReadConnectionSettings(
      Write("[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nodbc_options=\"TDS_Version=7.4;"
            "ClientCharset=UTF-8;APP={cardsync;night};PacketSize=8192;\"\n")));
}

// A value that would not reach the server exactly as written, or a data source
// whose server cardsync cannot reach itself, is refused by name.
TEST_F(SettingsFile, ValuesThatCannotBeCarriedExactlyAreRefused) {
  const std::string notPem = dir_.filePath("not-a-ca.pem").toStdString();
  std::ofstream(notPem) << "this is no certificate\n";
  const std::string odbcIni = dir_.filePath("odbc.ini").toStdString();
  std::ofstream(odbcIni) << "[ByConf]\nDriver=FreeTDS\nServername=reporting\n"
                         << "[NoServer]\nDriver=FreeTDS\nDatabase=x\n";
  ::setenv("ODBCINI", odbcIni.c_str(), 1);
  const std::string login = "server=h\ndatabase=d\nuser=u\n";
  struct Case {
    const char* name;
    std::string keys;
    std::vector<std::string> mentioned;
  };
  const Case cases[] = {
      {"control character in the password",
       login + "password=\"a\x01"
               "b\"\n",
       {"'password'", "control character (0x01 at byte 2)"}},
      {"carriage return inside odbc_options",
       login + "password=p\nodbc_options=\"TDS_Version=7.4\rhost=x\"\n",
       {"'odbc_options'", "control character (0x0D"}},
      {"tab in the user",
       "server=h\ndatabase=d\nuser=a\tb\npassword=p\n",
       {"'user'", "control character (0x09"}},
      {"password longer than a login carries",
       login + "password=" + std::string(129, 'p') + "\n",
       {"'password'", "longer than the 128 characters"}},
      {"database longer than a login carries",
       "server=h\nuser=u\npassword=p\ndatabase=" + std::string(300, 'd') + "\n",
       {"'database'", "longer than the 128 characters"}},
      {"named instance",
       "server=db.example\\night\ndatabase=d\nuser=u\npassword=p\n",
       {"'server'", "names an instance"}},
      {"server with a blank",
       "server=\"db example\"\ndatabase=d\nuser=u\npassword=p\n",
       {"'server'", "is not a host name or address"}},
      {"ca_file holding no certificate",
       login + "password=p\nca_file=" + notPem + "\n",
       {"'ca_file'", "holds no PEM certificate"}},
      {"data source not defined",
       "dsn=Nowhere\nuser=u\npassword=p\n",
       {"'dsn'", "data source 'Nowhere'", "is not defined"}},
      {"data source naming its server through freetds.conf",
       "dsn=ByConf\nuser=u\npassword=p\n",
       {"'dsn'", "Servername=", "give the data source Server= and Port="}},
      {"data source without a server",
       "dsn=NoServer\nuser=u\npassword=p\n",
       {"'dsn'", "names no Server="}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Write("[database]\n" + c.keys);
    try {
      ReadConnectionSettings(path);
      ADD_FAILURE() << "not refused";
    } catch (const SettingsError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind("settings file " + path + ": ", 0), 0u) << message;
      for (const std::string& part : c.mentioned)
        EXPECT_NE(message.find(part), std::string::npos) << message;
    }
  }
  ::unsetenv("ODBCINI");
}

TEST_F(SettingsFile, OpenDatabaseReportsASettingsProblemAsItsReason) {
  const std::string path = Write("[database]\nserver=h\ndatabase=d\npassword=p\n");
  Database database([path] { return ReadConnectionSettings(path); });
  EXPECT_FALSE(database.OpenDatabase());
  EXPECT_NE(database.LastConnectError().find("'user'"), std::string::npos)
      << database.LastConnectError();
  EXPECT_NE(database.LastConnectError().find(path), std::string::npos)
      << database.LastConnectError();
  EXPECT_FALSE(database.Connected());
}

// A server that cannot be reached is named, so whoever reads the line beside several
// knows which; a data source with what it resolved to.
TEST_F(SettingsFile, AFailedLoginNamesTheServer) {
  const std::string odbcIni = dir_.filePath("odbc.ini").toStdString();
  std::ofstream(odbcIni) << "[Closed]\nDriver=FreeTDS\nServer=127.0.0.1\nPort=1\n"
                            "Database=fromdsn\n";
  ::setenv("ODBCINI", odbcIni.c_str(), 1);
  const std::pair<const char*, const char*> cases[] = {
      {"server=127.0.0.1\nport=1\ndatabase=reporting\n", "127.0.0.1:1/reporting: "},
      {"dsn=Closed\n", "data source 'Closed' (127.0.0.1:1/fromdsn): "},
  };
  for (const auto& [keys, start] : cases) {
    SCOPED_TRACE(start);
    const std::string path =
        Write(std::string("[database]\n") + keys + "user=u\npassword=p\nlogin_timeout=2\n");
    Database database([path] { return ReadConnectionSettings(path); });
    EXPECT_FALSE(database.OpenDatabase());
    EXPECT_EQ(database.LastConnectError().rfind(start, 0), 0u) << database.LastConnectError();
    EXPECT_GT(database.LastConnectError().size(), std::string(start).size());  // and why
  }
  ::unsetenv("ODBCINI");
}

TEST(SettingsFilePath, EnvironmentFirstThenUserConfigFolder) {
  ::setenv("CARDSYNC_SETTINGS", "/etc/elsewhere/cs.ini", 1);
  EXPECT_EQ(SettingsFilePath(), "/etc/elsewhere/cs.ini");
  ::setenv("CARDSYNC_SETTINGS", "", 1);
  ::setenv("XDG_CONFIG_HOME", "/tmp/cardsync-config-home", 1);
  EXPECT_EQ(SettingsFilePath(), "/tmp/cardsync-config-home/cardsync/cardsync.ini");
  ::unsetenv("CARDSYNC_SETTINGS");
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsFilePath(),
            std::string(std::getenv("HOME")) + "/.config/cardsync/cardsync.ini");
}

TEST(OdbcQuoteValue, BracesOnlyWhereNeeded) {
  struct Case {
    const char* value;
    const char* quoted;  // nullptr: refused
  };
  const Case cases[] = {
      {"plain", "plain"},   {"", ""},           {"a;b", "{a;b}"},
      {"{x", "{{x}"},       {"a}b", "a}b"},     {" lead", "{ lead}"},
      {"tail ", "{tail }"}, {"pa=ss", "pa=ss"}, {"浙K", "浙K"},
      {"a;b}c", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    if (c.quoted) {
      EXPECT_EQ(OdbcQuoteValue("password", c.value), c.quoted);
    } else {
      try {
        OdbcQuoteValue("password", c.value);
        ADD_FAILURE() << "no error";
      } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("'password'"), std::string::npos) << e.what();
      }
    }
  }
}

TEST(QodbcDatabaseName, PassesEveryFormThroughQtUnchanged) {
  struct Case {
    const char* connectionString;
    const char* qtName;  // nullptr: refused
  };
  const Case cases[] = {
      // Each closed by ';': the driver is handed one character past the end.
      {"Driver=FreeTDS;Server=h;Port=1;UID=u;PWD=p", "Driver=FreeTDS;Server=h;Port=1;UID=u;PWD=p;"},
      {"Driver=FreeTDS;Server=h;UID=u;PWD=p;", "Driver=FreeTDS;Server=h;UID=u;PWD=p;"},
      {"DSN=Reporting;UID=u;PWD=p", "Reporting;UID=u;PWD=p;"},  // Qt puts "DSN=" back
      {"dsn=Reporting;UID=u;PWD=p", "Reporting;UID=u;PWD=p;"},
      {"DSN=Reporting;UID=u;PWD=xSERVER=1",
       "DSN=Reporting;UID=u;PWD=xSERVER=1;"},  // Qt leaves it as is
      {"DSN=Reporting;UID=u;PWD=a.dsn", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connectionString);
    if (c.qtName) {
      EXPECT_EQ(QodbcDatabaseName(c.connectionString), c.qtName);
    } else {
      EXPECT_THROW(QodbcDatabaseName(c.connectionString), Error);
    }
  }
}

}  // namespace
}  // namespace cardsync::db
