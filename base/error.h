// The project's one error type. Its message is the text a user reads, exactly as
// it will be shown; it sits in the lowest library so every other one can throw it.
#pragma once

#include <stdexcept>
#include <string>

namespace cardsync {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace cardsync
