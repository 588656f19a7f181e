// The application title: the caption of the error box, built from the executable's
// name the way the original desktop program built it ("CARDSYNC.EXE" -> "Cardsync").
#pragma once

#include <QString>

namespace cardsync::shell {

// File name without its folder ('/' or '\\'), cut at its first ".", every character
// after the first in lower case. An empty name gives an empty title.
QString ApplicationTitle(const QString& executablePath);

// The title of the running program, from its own executable.
QString CurrentApplicationTitle();

}  // namespace cardsync::shell
