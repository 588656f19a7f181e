// A server clock a test moves: under --now-file, GETDATE() reads the file's first line
// ("YYYY-MM-DD HH:MM:SS") at every call, so a test whose workstation clock jumps from
// day to day can keep the server's clock beside it. Without the file (or with an
// unreadable one) the clock is --now's or the real one.
#pragma once

#include <optional>
#include <string>

#include "sql_convert.h"

namespace standin {

void SetNowFile(std::string path);
std::optional<DateTime> NowFromFile();

}  // namespace standin
