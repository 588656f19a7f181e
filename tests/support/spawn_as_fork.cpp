// Linked into the test programs of ThreadSanitizer builds only.
//
// QProcess starts a program with clone(CLONE_VM | CLONE_VFORK): until it executes the
// program, the child runs in the parent's memory, on the parent thread's own sanitizer
// state. ThreadSanitizer's clone interceptor takes such a child for a forked copy and
// sets it up as one; sharing the memory, that set-up lands on the parent thread. From
// then on the thread that started the process no longer has its locks counted, and the
// next object it shares under a mutex is reported as a race that is not there.
//
// Here a clone that only starts a process becomes a fork, which the sanitizer handles
// as what it is; the caller still gets the child's pidfd when it asks for one.
#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace {

constexpr int kSpawn = CLONE_VM | CLONE_VFORK;

bool OnlyStartsAProcess(int flags) {
  return (flags & kSpawn) == kSpawn && (flags & ~(kSpawn | CLONE_PIDFD | CSIGNAL)) == 0 &&
         (flags & CSIGNAL) == SIGCHLD;
}

}  // namespace

extern "C" int clone(int (*run)(void*), void* stack, int flags, void* argument, ...) {
  va_list rest;
  va_start(rest, argument);
  pid_t* parentTid = va_arg(rest, pid_t*);
  void* tls = va_arg(rest, void*);
  pid_t* childTid = va_arg(rest, pid_t*);
  va_end(rest);

  if (!OnlyStartsAProcess(flags)) {
    using Clone = int (*)(int (*)(void*), void*, int, void*, ...);
    static const auto next = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    return next(run, stack, flags, argument, parentTid, tls, childTid);
  }
  const pid_t child = fork();
  if (child == 0) _exit(run(argument));
  if (child < 0) return -1;
  if ((flags & CLONE_PIDFD) != 0) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
    if (pidfd < 0) {
      const int cause = errno;
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      errno = cause;
      return -1;
    }
    *reinterpret_cast<int*>(parentTid) = pidfd;
  }
  return child;
}
