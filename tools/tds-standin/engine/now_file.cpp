// Read on every call: a test writes the file between two requests, never during one.
#include "now_file.h"

#include <fstream>
#include <mutex>

namespace standin {
namespace {

std::mutex pathMutex;
std::string nowPath;

}  // namespace

void SetNowFile(std::string path) {
  const std::lock_guard<std::mutex> lock(pathMutex);
  nowPath = std::move(path);
}

std::optional<DateTime> NowFromFile() {
  std::string path;
  {
    const std::lock_guard<std::mutex> lock(pathMutex);
    path = nowPath;
  }
  if (path.empty()) return std::nullopt;
  std::ifstream file(path);
  std::string line;
  if (!std::getline(file, line)) return std::nullopt;
  return ParseStoredDateTime(line);
}

}  // namespace standin
