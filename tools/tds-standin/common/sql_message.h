// Building a SQL Server message. Both the engine and the wire side raise
// messages of their own; one builder keeps the order of severity and state
// from being mixed up between them.
#pragma once

#include <string>
#include <utility>

#include "engine.h"

namespace standin {

inline ServerMessage MakeMessage(int number, int severity, int state, std::string text) {
  ServerMessage m;
  m.number = number;
  m.severity = severity;
  m.state = state;
  m.text = std::move(text);
  return m;
}

}  // namespace standin
