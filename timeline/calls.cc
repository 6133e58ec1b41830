#include "calls.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstring>

#include "objects.h"
#include "relations.h"

namespace kit {

const char* call_name(long nr) {
  switch (nr) {
    case SYS_read:
      return "read";
    case SYS_write:
      return "write";
    case SYS_openat:
      return "open";
    case SYS_mknodat:
      return "mkfifo";
    case SYS_semget:
      return "semget";
    case SYS_semop:
      return "semop";
    case SYS_semtimedop:
      return "semop";
    case SYS_semctl:
      return "semctl";
    case SYS_shmget:
      return "shmget";
    case SYS_shmat:
      return "shmat";
    case SYS_shmdt:
      return "shmdt";
    case SYS_nanosleep:
      return "nanosleep";
    case SYS_clock_nanosleep:
      return "nanosleep";
    case SYS_clone:
      return "fork";
#ifdef SYS_clone3
    case SYS_clone3:
      return "fork";
#endif
#ifdef SYS_fork
    case SYS_fork:
      return "fork";
#endif
#ifdef SYS_vfork
    case SYS_vfork:
      return "fork";
#endif
#ifdef SYS_open
    case SYS_open:
      return "open";
#endif
#ifdef SYS_mknod
    case SYS_mknod:
      return "mkfifo";
#endif
#ifdef SYS_pause
    case SYS_pause:
      return "pause";
#endif
    case SYS_execve:
      return "execve";
    case SYS_kill:
      return "kill";
    case SYS_rt_sigreturn:
      return "rt_sigreturn";
    default:
      return nullptr;
  }
}

std::string signal_name(int sig) { return std::string("SIG") + (sigabbrev_np(sig) ?: "?"); }

std::string ending_of(int status) {
  return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                           : signal_name(WTERMSIG(status));
}

std::string what_it_asks(const Traced& call) {
  if (call.call == "semop") return semaphore_change(call.detail[1]);
  if (call.call == "semctl") {
    if (call.detail[0] == SETVAL) return "SETVAL " + std::to_string(call.detail[1]);
    if (call.detail[0] == IPC_RMID) return "IPC_RMID";
    return "";
  }
  if (call.call == "semget" || call.call == "shmget")
    return "key " + std::to_string(call.detail[0]);
  if (call.call == "open") {
    int mode = static_cast<int>(call.detail[0]) & O_ACCMODE;
    return call.target + (mode == O_WRONLY ? " for writing"
                          : mode == O_RDWR ? " both ways"
                                           : " for reading");
  }
  if (call.call == "mkfifo") return call.target;
  if (call.call == "read" || call.call == "write") return in_quotes(call.bytes);
  if (call.call == "nanosleep") return std::to_string(call.detail[0]) + " s";
  if (call.call == "kill")
    return signal_name(static_cast<int>(call.detail[1])) + " to " + std::to_string(call.detail[0]);
  return call.call == "execve" ? call.bytes : call.call;
}

Event call_event(const Traced& call, double at, int lane) {
  Event event{.at = at,
              .what = Happening::Call,
              .lane = lane,
              .text = what_it_asks(call),
              .call = call.call,
              .target = call.target,
              .amount = call.call == "semop" || call.call == "semctl" ? call.detail[1]
                                                                      : call.detail[0],
              .bytes = call.bytes};
  if (call.call == "semctl") event.command = static_cast<int>(call.detail[0]);
  if (call.call == "open") event.mode = static_cast<int>(call.detail[0]) & O_ACCMODE;
  return event;
}

void call_returned(Event& event, const Traced& call, double until) {
  event.until = until;
  event.cut = call.cut;
  event.value = call.result < 0 ? -1 : static_cast<int>(call.result);
  if (call.result < 0 && !call.cut)
    event.failed = strerrorname_np(static_cast<int>(-call.result)) ?: "error";
  if (event.call == "read") {
    event.bytes = call.bytes;
    event.text = in_quotes(call.bytes);
  }
}

}  // namespace kit
