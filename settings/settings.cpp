// The sections and keys the file may hold, and each key's range, stand together at
// the top: ParseIni refuses every other name, and every check is made here once.
#include "settings/settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace cardsync::settings {
namespace {

constexpr const char* kSettingsEnv = "CARDSYNC_SETTINGS";
constexpr std::string_view kRelativeFile = "/cardsync/cardsync.ini";

constexpr std::string_view kDatabaseKeys[] = {"dsn",
                                              "driver",
                                              "server",
                                              "port",
                                              "database",
                                              "user",
                                              "password",
                                              "login_timeout",
                                              "query_timeout",
                                              "lock_timeout",
                                              "odbc_options",
                                              "encrypt",
                                              "trust_server_certificate",
                                              "ca_file"};
constexpr std::string_view kScheduleKeys[] = {"history_file", "catch_up_days"};
constexpr std::string_view kTransferKeys[] = {"batch_size", "previous_day_special_cards"};
constexpr std::string_view kNotifyKeys[] = {"on_failure", "desktop"};
constexpr KnownSection kSections[] = {
    {"database", kDatabaseKeys},
    {"schedule", kScheduleKeys},
    {"transfer", kTransferKeys},
    {"notify", kNotifyKeys},
};

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// One section's values, each read with the check its key needs. An absent section
// reads as empty: every key then keeps its default.
class SectionValues {
 public:
  SectionValues(const IniFile& file, const std::string& path, std::string name)
      : path_(path), name_(std::move(name)) {
    if (const auto it = file.sections.find(name_); it != file.sections.end())
      section_ = &it->second;
  }

  const IniValue* Find(std::string_view key) const {
    if (section_ == nullptr) return nullptr;
    const auto it = section_->values.find(key);
    return it == section_->values.end() ? nullptr : &it->second;
  }

  void Text(std::string_view key, std::string& value) const {
    if (const IniValue* found = Find(key)) value = found->text;
  }

  void Number(std::string_view key, int& value, int lowest, int highest) const {
    const IniValue* found = Find(key);
    if (found == nullptr) return;
    const std::string& text = found->text;
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        number < lowest || number > highest) {
      Fail(*found, key,
           "must be a whole number from " + std::to_string(lowest) + " to " +
               std::to_string(highest) + ", not '" + text + "'");
    }
    value = number;
  }

  void YesNo(std::string_view key, bool& value) const {
    const IniValue* found = Find(key);
    if (found == nullptr) return;
    const std::string text = Lower(found->text);
    if (text == "yes" || text == "true" || text == "1") {
      value = true;
    } else if (text == "no" || text == "false" || text == "0") {
      value = false;
    } else {
      Fail(*found, key, "must be yes or no, not '" + found->text + "'");
    }
  }

  [[noreturn]] void Fail(const IniValue& at, std::string_view key, const std::string& what) const {
    throw SettingsError(Where(path_, at.line) + ": key '" + std::string(key) + "' in [" + name_ +
                        "] " + what);
  }

 private:
  const std::string& path_;
  std::string name_;
  const IniSection* section_ = nullptr;
};

Database ReadDatabase(const IniFile& file, const std::string& path) {
  const SectionValues values(file, path, "database");
  Database database;
  values.Text("dsn", database.dsn);
  values.Text("driver", database.driver);
  values.Text("server", database.server);
  values.Number("port", database.port, 1, 65535);
  values.Text("database", database.database);
  values.Text("user", database.user);
  values.Text("password", database.password);
  values.Number("login_timeout", database.loginTimeoutSeconds, 1, 3600);
  values.Number("query_timeout", database.queryTimeoutSeconds, 0, 86400);
  // A lock wait as long as the request's own would end as a time-out, never as 1222: an
  // unset lock_timeout stays below a short query_timeout, a set one must.
  const int query = database.queryTimeoutSeconds;
  if (query > 0)
    database.lockTimeoutSeconds = std::clamp(query - 1, 1, database.lockTimeoutSeconds);
  values.Number("lock_timeout", database.lockTimeoutSeconds, 1, 86400);
  if (const IniValue* lock = values.Find("lock_timeout");
      lock != nullptr && query > 0 && database.lockTimeoutSeconds >= query) {
    values.Fail(*lock, "lock_timeout",
                "must be less than query_timeout (" + std::to_string(query) + ")");
  }
  values.Text("odbc_options", database.odbcOptions);
  values.YesNo("encrypt", database.encrypt);
  values.YesNo("trust_server_certificate", database.trustServerCertificate);
  values.Text("ca_file", database.caFile);
  return database;
}

Schedule ReadSchedule(const IniFile& file, const std::string& path) {
  const SectionValues values(file, path, "schedule");
  Schedule schedule;
  values.Text("history_file", schedule.historyFile);
  values.Number("catch_up_days", schedule.catchUpDays, 0, kMostCatchUpDays);
  return schedule;
}

Transfer ReadTransfer(const IniFile& file, const std::string& path) {
  const SectionValues values(file, path, "transfer");
  Transfer transfer;
  values.Number("batch_size", transfer.batchSize, 1, kLargestBatchSize);
  values.YesNo("previous_day_special_cards", transfer.previousDaySpecialCards);
  return transfer;
}

Notify ReadNotify(const IniFile& file, const std::string& path) {
  const SectionValues values(file, path, "notify");
  Notify notify;
  values.Text("on_failure", notify.onFailure);
  values.YesNo("desktop", notify.desktop);
  return notify;
}

[[noreturn]] void FailFile(const std::string& path, const std::string& what) {
  throw SettingsError("settings file " + path + ": " + what);
}

}  // namespace

std::string SettingsFilePath() {
  if (std::string fromEnv = Env(kSettingsEnv); !fromEnv.empty()) return fromEnv;
  std::string base = Env("XDG_CONFIG_HOME");
  if (base.empty()) base = Env("HOME") + "/.config";
  return base + std::string(kRelativeFile);
}

Settings ReadSettings(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    FailFile(path, "not found (set CARDSYNC_SETTINGS or create it)");
  std::ifstream in(path, std::ios::binary);
  if (!S_ISREG(info.st_mode) || !in) FailFile(path, "cannot be read");
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) FailFile(path, "cannot be read");
  return ParseSettings(content.str(), path);
}

Settings ParseSettings(std::string_view text, const std::string& path) {
  const IniFile file = ParseIni(text, path, kSections);
  Settings settings;
  settings.path = path;
  settings.hasDatabase = file.sections.contains("database");
  settings.database = ReadDatabase(file, path);
  settings.schedule = ReadSchedule(file, path);
  settings.transfer = ReadTransfer(file, path);
  settings.notify = ReadNotify(file, path);
  return settings;
}

void RequireDatabase(const Settings& settings) {
  const Database& database = settings.database;
  if (!settings.hasDatabase) FailFile(settings.path, "section [database] is missing");
  const auto require = [&settings](const char* key, const std::string& value) {
    if (value.empty())
      FailFile(settings.path, std::string("key '") + key + "' in [database] is missing or empty");
  };
  if (database.dsn.empty()) {
    require("driver", database.driver);
    require("server", database.server);
    require("database", database.database);
  }
  require("user", database.user);
  require("password", database.password);
}

}  // namespace cardsync::settings
