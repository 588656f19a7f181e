// Event log writer; a mutex keeps lines from different connections whole.
#include "tds_log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace standin::tds {

EventLog::EventLog(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {
  if (!file_) throw std::runtime_error("--log: cannot open " + path + ": " + std::strerror(errno));
}

EventLog::~EventLog() {
  if (file_) std::fclose(file_);
}

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

void EventLog::Write(std::string_view kind, std::string_view text) {
  if (!file_) return;
  std::string line = std::string(kind) + ": " + EscapeForLog(text) + "\n";
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace standin::tds
