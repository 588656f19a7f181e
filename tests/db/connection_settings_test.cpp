// The deployment settings file: what a good file yields as a connection string,
// and that every broken file names itself and the key at fault.
#include "db/connection_settings.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>

#include "convert/error.h"
#include "db/database.h"
#include "db/freetds_tls.h"

namespace cardsync::db {
namespace {

class SettingsFile : public ::testing::Test {
 protected:
  std::string Write(const std::string& content) {
    const std::string path = dir_.filePath("cardsync.ini").toStdString();
    std::ofstream(path, std::ios::trunc) << content;
    return path;
  }
  QTemporaryDir dir_;
};

TEST_F(SettingsFile, GoodFilesGiveTheirConnectionStrings) {
  struct Case {
    const char* name;
    const char* content;
    const char* connectionString;
  };
  const Case cases[] = {
      {"defaults",
       "[database]\nserver=db.example\ndatabase=reporting\nuser=cardsync\npassword=secret\n",
       "Driver=FreeTDS;Servername={section};Port=1433;Database=reporting;UID=cardsync;PWD=secret;"
       "Encryption=require;"
       "TDS_Version=7.4;ClientCharset=UTF-8"},
      {"every key",
       "[database]\ndriver=Other "
       "Driver\nserver=10.0.0.5\nport=14330\ndatabase=rep\nuser=u\npassword=p\n"
       "login_timeout=5\nquery_timeout=0\nodbc_options=\"TDS_Version=7.3;ClientCharset=UTF-8\"\n",
       "Driver=Other "
       "Driver;Servername={section};Port=14330;Database=rep;UID=u;PWD=p;Encryption=require;TDS_Version="
       "7.3;ClientCharset=UTF-8"},
      {"dsn replaces driver, server and port",
       "[database]\ndsn=Reporting\ndriver=Ignored\nserver=ignored\nport=1\nuser=u\npassword=p\n",
       "DSN=Reporting;UID=u;PWD=p;Encryption=require;TDS_Version=7.4;ClientCharset=UTF-8"},
      {"dsn with database", "[database]\ndsn=Reporting\ndatabase=other\nuser=u\npassword=p\n",
       "DSN=Reporting;Database=other;UID=u;PWD=p;Encryption=require;TDS_Version=7.4;ClientCharset="
       "UTF-8"},
      {"semicolon and brace in password are braced",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=\"a;b{c\"\n",
       "Driver=FreeTDS;Servername={section};Port=1433;Database=d;UID=u;PWD={a;b{c};Encryption=require;TDS_"
       "Version=7.4;ClientCharset=UTF-8"},
      {"unquoted comma in password survives",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=a,b\n",
       "Driver=FreeTDS;Servername={section};Port=1433;Database=d;UID=u;PWD=a,b;Encryption=require;TDS_Version="
       "7.4;ClientCharset=UTF-8"},
      {"empty options", "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nodbc_options=\n",
       "Driver=FreeTDS;Servername={section};Port=1433;Database=d;UID=u;PWD=p;Encryption=require"},
      {"encrypt=no still encrypts when the server can",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nencrypt=no\nodbc_options=\n",
       "Driver=FreeTDS;Servername={section};Port=1433;Database=d;UID=u;PWD=p;Encryption=request"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConnectionSettings settings = ReadConnectionSettings(Write(c.content));
    std::string expected = c.connectionString;
    if (size_t at = expected.find("{section}"); at != std::string::npos) {
      expected.replace(at, 9, FreeTdsSectionName(settings));
    }
    EXPECT_EQ(OdbcConnectionString(settings), expected);
  }
}

TEST_F(SettingsFile, TimeoutsAreRead) {
  const ConnectionSettings settings = ReadConnectionSettings(
      Write("[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nlogin_timeout=7\nquery_timeout=0\n"));
  EXPECT_EQ(settings.loginTimeoutSeconds, 7);
  EXPECT_EQ(settings.queryTimeoutSeconds, 0);
  const ConnectionSettings defaults =
      ReadConnectionSettings(Write("[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\n"));
  EXPECT_EQ(defaults.loginTimeoutSeconds, 30);
  EXPECT_EQ(defaults.queryTimeoutSeconds, 30);
  EXPECT_EQ(defaults.batchSize, kDefaultBatchSize);
  const ConnectionSettings perRecord = ReadConnectionSettings(
      Write("[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\n[transfer]\nbatch_size=1\n"));
  EXPECT_EQ(perRecord.batchSize, 1);
}

TEST_F(SettingsFile, CertificateKeysDecideWhatFreeTdsChecks) {
  const std::string ca = dir_.filePath("ca.pem").toStdString();
  std::ofstream(ca) << "not read here\n";
  struct Case {
    const char* name;
    std::string keys;
    const char* caLine;  // nullptr: no CA file, so FreeTDS checks nothing
  };
  const Case cases[] = {
      {"defaults: the system's CAs", "", "\tca file = system\n"},
      {"own CA file", "ca_file=" + ca + "\n", nullptr},
      {"trusted without a check", "trust_server_certificate=yes\nca_file=" + ca + "\n", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ConnectionSettings settings = ReadConnectionSettings(
        Write("[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\n" + c.keys));
    const std::string conf = FreeTdsConfText(settings);
    const bool checks = !settings.trustServerCertificate;
    const std::string caLine = c.caLine ? c.caLine : "\tca file = " + ca + "\n";
    EXPECT_EQ(conf.find("[" + FreeTdsSectionName(settings) + "]\n\thost = h\n\tport = 1433\n"), 0u) << conf;
    EXPECT_EQ(conf.find(caLine) != std::string::npos, checks) << conf;
    EXPECT_EQ(conf.find("check certificate hostname = yes") != std::string::npos, checks) << conf;
    EXPECT_EQ(conf.find("ca file") != std::string::npos, checks) << conf;
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
      {"missing section", "[other]\nserver=h\n", "[database]"},
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
      {"malformed", "[database\nserver", "not a valid INI file"},
      {"encrypt neither yes nor no",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nencrypt=maybe\n", "'encrypt'"},
      {"bad trust value",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\ntrust_server_certificate=2\n",
       "'trust_server_certificate'"},
      {"ca_file missing",
       "[database]\nserver=h\ndatabase=d\nuser=u\npassword=p\nca_file=/nonexistent/ca.pem\n",
       "'ca_file'"},
      {"ca_file a comment in freetds.conf",
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

TEST_F(SettingsFile, OpenDatabaseReportsASettingsProblemAsItsReason) {
  const std::string path = Write("[database]\nserver=h\ndatabase=d\npassword=p\n");
  Database database([path] { return ReadConnectionSettings(path); });
  EXPECT_FALSE(database.OpenDatabase());
  EXPECT_NE(database.LastConnectError().find("'user'"), std::string::npos) << database.LastConnectError();
  EXPECT_NE(database.LastConnectError().find(path), std::string::npos) << database.LastConnectError();
  EXPECT_FALSE(database.Connected());
}

TEST(SettingsFilePath, EnvironmentFirstThenUserConfigFolder) {
  ::setenv("CARDSYNC_SETTINGS", "/etc/elsewhere/cs.ini", 1);
  EXPECT_EQ(SettingsFilePath(), "/etc/elsewhere/cs.ini");
  ::setenv("CARDSYNC_SETTINGS", "", 1);
  ::setenv("XDG_CONFIG_HOME", "/tmp/cardsync-config-home", 1);
  EXPECT_EQ(SettingsFilePath(), "/tmp/cardsync-config-home/cardsync/cardsync.ini");
  ::unsetenv("CARDSYNC_SETTINGS");
  ::unsetenv("XDG_CONFIG_HOME");
}

TEST(OdbcQuoteValue, BracesOnlyWhereNeeded) {
  struct Case {
    const char* value;
    const char* quoted;  // nullptr: refused
  };
  const Case cases[] = {
      {"plain", "plain"}, {"", ""},          {"a;b", "{a;b}"},   {"{x", "{{x}"},      {"a}b", "a}b"},
      {" lead", "{ lead}"}, {"tail ", "{tail }"}, {"pa=ss", "pa=ss"}, {"浙K", "浙K"}, {"a;b}c", nullptr},
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
