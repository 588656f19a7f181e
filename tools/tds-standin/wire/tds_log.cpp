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

namespace {

bool NeedsEscape(unsigned char u) { return u < 0x20 || u == 0x7F || u == '\\'; }

// Appends text escaped; runs of plain characters go in one piece, since a
// chunk's request line is some hundred kilobytes of mostly plain text.
void AppendEscaped(std::string& out, std::string_view text) {
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    auto u = static_cast<unsigned char>(text[i]);
    if (!NeedsEscape(u)) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    if (u == '\r') {
      out += "\\r";
    } else if (u == '\n') {
      out += "\\n";
    } else if (u == '\t') {
      out += "\\t";
    } else if (u == '\\') {
      out += "\\\\";
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    }
  }
  out.append(text.data() + run, text.size() - run);
}

}  // namespace

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text);
  return out;
}

void EventLog::Write(std::string_view kind, std::string_view text) {
  if (!file_) return;
  std::string line;
  line.reserve(kind.size() + text.size() + 16);
  line.append(kind);
  line += ": ";
  AppendEscaped(line, text);
  line += '\n';
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

}  // namespace standin::tds
