// A SQL Server message and its builder. Both the engine and the wire side raise
// messages of their own; one builder keeps the order of severity and state
// from being mixed up between them.
#pragma once

#include <string>
#include <utility>

namespace standin {

// An error or informational message with SQL Server's number, state and severity.
struct ServerMessage {
  int number = 0;
  int state = 1;
  int severity = 16;  // 0..10 informational, 11+ error
  std::string text;
  int line = 1;
  std::string procName;  // set when raised inside a stored procedure
};

inline ServerMessage MakeMessage(int number, int severity, int state, std::string text) {
  ServerMessage m;
  m.number = number;
  m.severity = severity;
  m.state = state;
  m.text = std::move(text);
  return m;
}

}  // namespace standin
