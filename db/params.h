// Values bound to a statement's ? placeholders. Values travel apart from the
// statement text, so quotes and Chinese text reach the server exactly as read.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace cardsync::db {

// A bound parameter: NULL, a whole number, or UTF-8 text.
using Value = std::variant<std::monostate, std::int64_t, std::string>;
using Params = std::vector<Value>;

}  // namespace cardsync::db
