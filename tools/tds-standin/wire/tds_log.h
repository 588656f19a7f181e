// The --log event file: one line per event, "<kind>: <text>", flushed as it
// is written so a test can read what a client sent while the server runs.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace standin::tds {

class EventLog {
 public:
  EventLog() = default;  // logs nowhere
  // Throws std::runtime_error when the file cannot be opened.
  explicit EventLog(const std::string& path);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Line breaks and other control characters in `text` are escaped (\r, \n,
  // \xNN) so every event stays on one line.
  void Write(std::string_view kind, std::string_view text);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

std::string EscapeForLog(std::string_view text);

}  // namespace standin::tds
