// Linked into every test program.
//
// Before main() runs, the program gets a state folder and a runtime folder of its own
// (XDG_STATE_HOME, XDG_RUNTIME_DIR), removed when it exits. A test that sets neither,
// and every cardsync it starts, then keeps its history, locks and sockets there rather
// than in the state of the user who runs the tests. Tests that need other folders set
// them, and put these back when they are done.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

class PrivateStateFolders {
 public:
  PrivateStateFolders() {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/cardsync-tests-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) return;  // the tests then say what they miss
    root_ = name;
    std::error_code ignored;
    std::filesystem::create_directory(root_ / "state", ignored);
    std::filesystem::create_directory(root_ / "runtime", ignored);
    std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all, ignored);
    ::setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
  }
  ~PrivateStateFolders() {
    // A forked child that exits normally runs this too; the folders are the parent's.
    if (root_.empty() || ::getpid() != owner_) return;
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  PrivateStateFolders(const PrivateStateFolders&) = delete;
  PrivateStateFolders& operator=(const PrivateStateFolders&) = delete;

 private:
  std::filesystem::path root_;
  pid_t owner_ = ::getpid();
};

const PrivateStateFolders folders;

}  // namespace
