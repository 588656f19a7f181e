// The error a database operation throws: the server's own text as the user reads
// it, plus SQLSTATE and native number for whoever has to act on it. Jobs ask it
// whether the link itself is gone, which decides between skipping and stopping.
#pragma once

#include <string>

#include "base/error.h"

namespace cardsync::db {

class DatabaseError : public Error {
 public:
  explicit DatabaseError(const std::string& message, std::string sqlState = {}, int nativeError = 0,
                         bool linkGone = false)
      : Error(message),
        sqlState_(std::move(sqlState)),
        nativeError_(nativeError),
        linkGone_(linkGone) {}

  const std::string& SqlState() const { return sqlState_; }
  int NativeError() const { return nativeError_; }

  // True for errors about the values of the statement's one record: conversion,
  // overflow, truncation, constraints (SQLSTATE classes 22 and 23, or the server's
  // numbers for them). Others (a missing object, a refused permission ...) are
  // about the whole job.
  bool AboutTheValues() const;
  // The server gave up waiting for a lock another session holds (1222).
  bool LockTimedOut() const { return nativeError_ == 1222; }
  // A time-out rather than a broken link.
  bool TimedOut() const {
    return sqlState_ == "HYT00" || sqlState_ == "HYT01" || sqlState_ == "S1T00" ||
           sqlState_ == "S1T01";
  }

  // True when the connection can no longer be used: SQLSTATE class 08, a time-out
  // (HYT00, HYT01, or S1T00/S1T01 as FreeTDS reports them), or the driver
  // reporting the link dead.
  bool ConnectionLost() const {
    return linkGone_ || sqlState_.starts_with("08") || sqlState_ == "HYT00" ||
           sqlState_ == "HYT01" || sqlState_ == "S1T00" || sqlState_ == "S1T01";
  }

 private:
  std::string sqlState_;
  int nativeError_;
  bool linkGone_;
};

// The server's text without the driver's bracketed prefixes ("[FreeTDS][SQL Server]"),
// control characters, and trailing blanks and full stops.
std::string CleanServerText(std::string_view text);

}  // namespace cardsync::db
