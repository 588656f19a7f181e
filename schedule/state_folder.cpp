// Folders are made first and checked after, by what is there: a check before mkdir
// would leave a moment in which another user's folder could appear in its place.
#include "schedule/state_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cardsync::schedule {
namespace {

constexpr mode_t kPrivateMode = 0700;
constexpr mode_t kGroupOrOthers = 077;
constexpr mode_t kGroupOrOthersWrite = 022;
constexpr char kStateName[] = "/cardsync";
constexpr char kDefaultStateHome[] = "/.local/state";
constexpr char kLocksName[] = "locks";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// `path` and its missing parents, each made mode 0700; what exists stays as it is.
void MakeFolders(const std::string& path, const std::string& what) {
  for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    if (!part.empty() && ::mkdir(part.c_str(), kPrivateMode) != 0 && errno != EEXIST) {
      throw StateError("cannot make the " + what + " " + path + " (" + part +
                       "): " + std::strerror(errno));
    }
    if (at == std::string::npos) return;
  }
}

// The state folder may have been made before this check existed, with the umask's mode,
// and holds nothing secret by its names: only writing in it is kept to its owner, as
// that is what would let another user swap the lock folder. The folders inside it that
// hold the locks and the socket are this user's alone, and are never followed through a
// symbolic link.
enum class Others { NoAccess, MayRead };

void Check(const std::string& path, const std::string& what, Others others) {
  struct stat info {};
  const int read =
      others == Others::NoAccess ? ::lstat(path.c_str(), &info) : ::stat(path.c_str(), &info);
  if (read != 0) {
    throw StateError("cannot use the " + what + " " + path + ": " + std::strerror(errno));
  }
  if (S_ISLNK(info.st_mode)) {
    throw StateError("the " + what + " " + path +
                     " is a symbolic link; cardsync uses only a folder of its own there");
  }
  if (!S_ISDIR(info.st_mode)) {
    throw StateError("the " + what + " " + path + " is not a folder");
  }
  if (info.st_uid != ::geteuid()) {
    throw StateError("the " + what + " " + path + " belongs to uid " + std::to_string(info.st_uid) +
                     ", not to this user (uid " + std::to_string(::geteuid()) +
                     "); cardsync will not use it");
  }
  if (others == Others::NoAccess && (info.st_mode & kGroupOrOthers) != 0) {
    throw StateError("the " + what + " " + path + " has mode " + Octal(info.st_mode) +
                     ": group or others may use it; make it private (chmod 700 " + path + ")");
  }
  if (others == Others::MayRead && (info.st_mode & kGroupOrOthersWrite) != 0) {
    throw StateError("the " + what + " " + path + " has mode " + Octal(info.st_mode) +
                     ": group or others may write in it (chmod go-w " + path + ")");
  }
}

}  // namespace

std::string StateFolder() {
  std::string base = Env("XDG_STATE_HOME");
  if (base.empty()) base = Env("HOME") + kDefaultStateHome;
  return base + kStateName;
}

std::string PrivateStateFolder(const std::string& name, const std::string& what) {
  const std::string state = StateFolder();
  MakeFolders(state, "state folder");
  Check(state, "state folder", Others::MayRead);
  const std::string folder = state + "/" + name;
  MakePrivateFolder(folder, what);
  return folder;
}

std::string LockFolder() { return PrivateStateFolder(kLocksName, "lock folder"); }

void MakePrivateFolder(const std::string& path, const std::string& what) {
  MakeFolders(path, what);
  Check(path, what, Others::NoAccess);
}

}  // namespace cardsync::schedule
