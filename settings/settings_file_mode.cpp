// Looks at the settings file's permission bits with stat(2): QFileInfo's
// permissions fold in the ACLs and the caller's own rights, which is not the
// question here.
#include "settings/settings_file_mode.h"

#include <sys/stat.h>

#include <cstdio>

namespace cardsync::settings {

std::optional<std::string> SettingsFileModeWarning(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  const unsigned mode = info.st_mode & 07777;
  if ((mode & 077) == 0) return std::nullopt;
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode);
  return "settings file " + path + " has mode " + octal +
         ": group or others may read it and its password; it should be 0600 or less (chmod 600 " +
         path + ")";
}

}  // namespace cardsync::settings
