// The settings file as the settings module reads it: values taken literally, the
// refusals with their place and nearest name, each key's range reported in its own
// section, and the files the documentation shows still read as they say.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cardsync::settings {
namespace {

constexpr char kPath[] = "/home/ops/.config/cardsync/cardsync.ini";
constexpr char kLogin[] = "[database]\nserver=h\ndatabase=d\nuser=u\n";

std::string MessageOf(const std::string& text) {
  try {
    ParseSettings(text, kPath);
  } catch (const SettingsError& e) {
    return e.what();
  }
  return "(read without an error)";
}

// Each row a trap a QSettings-like or careless reader falls into.
TEST(SettingsValues, AreTakenLiterally) {
  struct Row {
    const char* line;      // the password line
    const char* password;  // as the server must get it
  };
  const Row rows[] = {
      {"password=a\"b", "a\"b"},                       // a quote inside is a quote
      {"password=a\"", "a\""},                         // ending in one does not quote it
      {"password=a,b, c", "a,b, c"},                   // no list, blanks kept
      {"password=C:\\dir\\n", "C:\\dir\\n"},           // no escapes
      {"password=a;b#c", "a;b#c"},                     // ';' and '#' inside a word
      {"password=ab ;comment", "ab"},                  // after a blank: a comment
      {"password=ab\t# comment", "ab"},                // a tab is a blank too
      {"password=\"a ; b\"\"c\"", "a ; b\"c"},         // quoted: ';' kept, "" is one quote
      {"password=\"x\"   ; comment", "x"},             // a comment after the quotes
      {"password=\" padded \"", " padded "},           // quotes keep outer blanks
      {"password=  \t spaced out \t ", "spaced out"},  // blanks around trimmed
      {"  password = p=q ", "p=q"},                    // the first '=' splits
      {"password=\r", ""},                             // a CRLF file
      {"password=pa#ss;", "pa#ss;"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const Settings settings = ParseSettings(std::string(kLogin) + row.line + "\n", kPath);
    EXPECT_EQ(settings.database.password, row.password);
  }
}

TEST(SettingsValues, ByteOrderMarkAndCommentsAreSkipped) {
  const Settings settings = ParseSettings(
      "\xEF\xBB\xBF; written on Windows\r\n# a comment\r\n\r\n[database]  ; the connection\r\n"
      "server=h\r\n  ;port=1\r\n",
      kPath);
  EXPECT_EQ(settings.database.server, "h");
  EXPECT_EQ(settings.database.port, 1433);
}

// Every refusal names the file and the line, and the section and key it is about.
TEST(SettingsFile, RefusesWhatItDoesNotKnowWithItsPlace) {
  struct Row {
    const char* what;
    std::string text;
    std::vector<std::string> mentioned;
  };
  const Row rows[] = {
      {"misspelt section",
       "[database]\nserver=h\n[trasnfer]\nbatch_size=5\n",
       {"line 3", "unknown section [trasnfer]", "did you mean [transfer]?"}},
      {"section in another case", "[Database]\n", {"line 1", "did you mean [database]?"}},
      {"unknown section, nothing near", "[general]\n", {"line 1", "unknown section [general]"}},
      {"misspelt key",
       "[transfer]\nbatch_sise=5\n",
       {"line 2", "unknown key 'batch_sise' in [transfer]", "did you mean batch_size?"}},
      {"key of another section",
       "[database]\ncatch_up_days=3\n",
       {"line 2", "unknown key 'catch_up_days' in [database]"}},
      {"key given twice",
       "[database]\nport=1\n\nport=2\n",
       {"line 4", "key 'port' in [database] is given twice (first on line 2)"}},
      {"twice across a repeated section",
       "[schedule]\ncatch_up_days=1\n[schedule]\ncatch_up_days=2\n",
       {"line 4", "'catch_up_days' in [schedule] is given twice"}},
      {"no '='", "[database]\nserver h\n", {"line 2", "'server h' in [database]", "neither"}},
      {"no key", "[database]\n=h\n", {"line 2", "neither key=value nor [section]"}},
      {"header not closed", "[database\n", {"line 1", "neither key=value nor [section]"}},
      {"key before any section",
       "server=h\n[database]\n",
       {"line 1", "key 'server' comes before any [section]"}},
      {"quote not closed",
       "[database]\nserver=h\npassword=\"abc\n",
       {"line 3", "key 'password' in [database]", "does not close"}},
      {"text after the closing quote",
       "[database]\npassword=\"a\"b\n",
       {"line 2", "key 'password' in [database]", "after its closing quote"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const std::string message = MessageOf(row.text);
    EXPECT_EQ(message.rfind(std::string("settings file ") + kPath + ", ", 0), 0u) << message;
    for (const std::string& part : row.mentioned)
      EXPECT_NE(message.find(part), std::string::npos) << message;
  }
}

// A value out of range is reported under its own section and line, whichever mode reads it.
TEST(SettingsFile, RefusesValuesOutOfRangeInTheirSection) {
  struct Row {
    std::string text;
    const char* mentioned;
  };
  const Row rows[] = {
      {"[transfer]\nbatch_size=210\n",
       "line 2: key 'batch_size' in [transfer] must be a whole "
       "number from 1 to 209, not '210'"},
      {"[transfer]\nbatch_size=0\n", "key 'batch_size' in [transfer]"},
      {"[transfer]\nbatch_size=2OO\n", "key 'batch_size' in [transfer]"},
      {"[transfer]\nprevious_day_special_cards=maybe\n",
       "key 'previous_day_special_cards' in [transfer] must be yes or no, not 'maybe'"},
      {"[schedule]\ncatch_up_days=367\n", "key 'catch_up_days' in [schedule]"},
      {"[schedule]\ncatch_up_days=-1\n", "key 'catch_up_days' in [schedule]"},
      {"[database]\nport=0\n", "key 'port' in [database]"},
      {"[database]\nport=65536\n", "key 'port' in [database]"},
      {"[database]\nlogin_timeout=3601\n", "key 'login_timeout' in [database]"},
      {"[database]\nquery_timeout=86401\n", "key 'query_timeout' in [database]"},
      {"[database]\nquery_timeout=5\nlock_timeout=5\n",
       "line 3: key 'lock_timeout' in [database] must be less than query_timeout (5)"},
      {"[database]\nencrypt=on\n", "key 'encrypt' in [database] must be yes or no"},
      {"[database]\ntrust_server_certificate=2\n", "key 'trust_server_certificate'"},
      {"[notify]\ndesktop=sometimes\n", "key 'desktop' in [notify] must be yes or no"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const std::string message = MessageOf(row.text);
    EXPECT_NE(message.find(row.mentioned), std::string::npos) << message;
  }
}

TEST(SettingsFile, RequiresTheConnectionsKeysOnlyWhenAsked) {
  const Settings noDatabase = ParseSettings("[schedule]\ncatch_up_days=3\n", kPath);
  EXPECT_EQ(noDatabase.schedule.catchUpDays, 3);  // the schedule is still named
  struct Row {
    const char* text;
    const char* mentioned;  // nullptr: complete
  };
  const Row rows[] = {
      {"[schedule]\n", "section [database] is missing"},
      {"[database]\ndatabase=d\nuser=u\npassword=p\n", "key 'server' in [database] is missing"},
      {"[database]\nserver=h\nuser=u\npassword=p\n", "key 'database'"},
      {"[database]\nserver=h\ndatabase=d\npassword=p\n", "key 'user'"},
      {"[database]\nserver=h\ndatabase=d\nuser=u\npassword=\n", "key 'password'"},
      {"[database]\ndriver=\nserver=h\ndatabase=d\nuser=u\npassword=p\n", "key 'driver'"},
      {"[database]\ndsn=Reporting\nuser=u\npassword=p\n", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const Settings settings = ParseSettings(row.text, kPath);
    if (row.mentioned == nullptr) {
      EXPECT_NO_THROW(RequireDatabase(settings));
      continue;
    }
    try {
      RequireDatabase(settings);
      ADD_FAILURE() << "not refused";
    } catch (const SettingsError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("settings file ") + kPath + ": "),
                std::string::npos)
          << e.what();
      EXPECT_NE(std::string(e.what()).find(row.mentioned), std::string::npos) << e.what();
    }
  }
}

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The ```ini blocks of a Markdown file, each a settings file of its own.
std::vector<std::string> IniBlocks(const std::string& markdown) {
  std::vector<std::string> blocks;
  std::istringstream lines(markdown);
  std::string line;
  std::string* block = nullptr;
  while (std::getline(lines, line)) {
    if (block == nullptr && line == "```ini") {
      block = &blocks.emplace_back();
    } else if (block != nullptr && line == "```") {
      block = nullptr;
    } else if (block != nullptr) {
      *block += line + "\n";
    }
  }
  return blocks;
}

// What README.md, docs/configuration.md and the installed example show reads as it says.
TEST(DocumentedFiles, ReadAsTheySay) {
  std::vector<std::pair<std::string, std::string>> files = {
      {"shell/cardsync.ini.example", FileText(CARDSYNC_SOURCE_DIR "/shell/cardsync.ini.example")}};
  for (const char* doc : {"README.md", "docs/configuration.md"}) {
    const std::vector<std::string> blocks =
        IniBlocks(FileText(CARDSYNC_SOURCE_DIR "/" + std::string(doc)));
    EXPECT_FALSE(blocks.empty()) << doc;
    for (const std::string& block : blocks) files.emplace_back(doc, block);
  }
  ASSERT_GE(files.size(), 4u);
  for (const auto& [name, text] : files) {
    SCOPED_TRACE(name + ":\n" + text);
    const Settings settings = ParseSettings(text, name);
    EXPECT_NO_THROW(RequireDatabase(settings));
    EXPECT_FALSE(settings.database.user.empty());
    EXPECT_EQ(settings.database.password.find('"'), std::string::npos);
    EXPECT_EQ(settings.database.odbcOptions, "TDS_Version=7.4;ClientCharset=UTF-8");
    EXPECT_TRUE(settings.database.encrypt);
    EXPECT_FALSE(settings.database.trustServerCertificate);
    EXPECT_EQ(settings.database.caFile, "");
    EXPECT_EQ(settings.transfer.batchSize, kDefaultBatchSize);
    EXPECT_EQ(settings.schedule.catchUpDays, 7);
  }
}

TEST(SettingsFile, MissingOrUnreadableIsASettingsError) {
  struct Row {
    std::string path;
    const char* mentioned;
  };
  const Row rows[] = {
      {CARDSYNC_SOURCE_DIR "/no-such-settings.ini", "not found"},
      {CARDSYNC_SOURCE_DIR "/docs", "cannot be read"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    try {
      ReadSettings(row.path);
      ADD_FAILURE() << "no error";
    } catch (const SettingsError& e) {
      EXPECT_EQ(std::string(e.what()), "settings file " + row.path + ": " + row.mentioned +
                                           (std::string(row.mentioned) == "not found"
                                                ? " (set CARDSYNC_SETTINGS or create it)"
                                                : ""));
    }
  }
}

TEST(NearestName, SuggestsWithinTwoEdits) {
  constexpr std::string_view kKeys[] = {"batch_size", "previous_day_special_cards"};
  struct Row {
    const char* name;
    const char* nearest;
  };
  const Row rows[] = {
      {"batch_sise", "batch_size"},
      {"batchsize", "batch_size"},
      {"bach_sie", "batch_size"},
      {"Batch_Size", "batch_size"},
      {"bat_si", ""},
      {"size", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(NearestName(row.name, kKeys), row.nearest);
  }
}

}  // namespace
}  // namespace cardsync::settings
