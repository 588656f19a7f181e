// Where cardsync keeps its locks and, without $XDG_RUNTIME_DIR, its window's socket:
// folders of this user's own under the state folder. Whoever else may write in them
// could delete a lock (two runs at once) or plant one (no run ever), so, as OpenSSH
// does with ~/.ssh, a folder another user owns or others may use is refused by name.
#pragma once

#include <string>

#include "base/error.h"
#include "base/exit_codes.h"

namespace cardsync::schedule {

// A state or runtime folder (or a file in one) cardsync will not use; the message names it.
class StateError : public cardsync::Error {
 public:
  using cardsync::Error::Error;
};

// The command line answers a StateError with kExitCannotCreateState (base/exit_codes.h).

// $XDG_STATE_HOME/cardsync, with ~/.local/state when XDG_STATE_HOME is unset or empty.
// Only the name: nothing is made or checked here.
std::string StateFolder();

// StateFolder()/`name`, made and checked on each call: the state folder must be this
// user's and writable by nobody else, the folder `name` this user's alone (made mode
// 0700). Throws StateError naming the folder (as `what`, "lock folder") otherwise.
std::string PrivateStateFolder(const std::string& name, const std::string& what);

// PrivateStateFolder("locks"): where every lock of every target lives, whichever way the
// program was started and whatever the session's variables say.
std::string LockFolder();

// `path` as a folder only this user may use: made mode 0700 (missing parents too) when
// absent; refused with a StateError naming it as `what` ("runtime folder") when it is
// a symbolic link or no folder, another user owns it, or group or others have any
// access to it.
void MakePrivateFolder(const std::string& path, const std::string& what);

}  // namespace cardsync::schedule
