// The warning for a settings file that others may read. The file holds the
// database password, so group or world access is worth saying out loud, the way
// PostgreSQL's client does for its password file; the run goes on regardless.
#pragma once

#include <optional>
#include <string>

namespace cardsync::settings {

// The warning text naming `path` and its mode when group or others have any
// access to it (mode & 077); nothing when they have none or the file cannot be
// looked at (a missing file is the settings reader's to report).
std::optional<std::string> SettingsFileModeWarning(const std::string& path);

}  // namespace cardsync::settings
