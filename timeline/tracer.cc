#include "tracer.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "asked.h"
#include "objects.h"
#include "pidfd.h"

namespace kit {
namespace {

using Clock = std::chrono::steady_clock;

// The kernel's own codes for a call it will restart: the call is going on,
// not returning.
constexpr int64_t kRestartSys = -512, kRestartNoIntr = -513, kRestartNoHand = -514,
                  kRestartBlock = -516;
constexpr long kTraceOptions = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK |
                               PTRACE_O_TRACECLONE | PTRACE_O_TRACEEXEC | PTRACE_O_TRACEEXIT |
                               PTRACE_O_EXITKILL;

bool restarting(int64_t rval) {
  return rval == kRestartSys || rval == kRestartNoIntr || rval == kRestartNoHand ||
         rval == kRestartBlock;
}

bool makes_a_child(long nr) {
  return nr == SYS_clone
#ifdef SYS_clone3
         || nr == SYS_clone3
#endif
#ifdef SYS_fork
         || nr == SYS_fork
#endif
#ifdef SYS_vfork
         || nr == SYS_vfork
#endif
      ;
}

}  // namespace

Tracer::Tracer() {
  // A child's change of state wakes the tracing thread through its signalfd;
  // the signal stays blocked in every thread so that none takes it. The
  // programs start with an empty mask (the runner resets it in the child).
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &child, &mask_);
  wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  children_ = signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK);
  if (wake_ < 0 || children_ < 0) {
    int error = errno;
    for (int fd : {wake_, children_})
      if (fd >= 0) close(fd);
    pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
    throw std::system_error(error, std::generic_category(), "tracer");
  }
  thread_ = std::thread([this] { run(); });
}

Tracer::~Tracer() {
  {
    std::lock_guard guard(lock_);
    quit_ = true;
  }
  uint64_t one = 1;
  if (write(wake_, &one, sizeof one) < 0) perror("tracer: eventfd");
  thread_.join();
  close(wake_);
  close(children_);
  pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
}

pid_t Tracer::launch(const std::function<pid_t()>& fork_stopped) {
  std::unique_lock guard(lock_);
  request_ = fork_stopped;
  requested_ = true;
  uint64_t one = 1;
  if (write(wake_, &one, sizeof one) < 0) return -1;
  served_.wait(guard, [&] { return !requested_; });
  return answer_;
}

std::optional<int> Tracer::reaped(pid_t pid) {
  std::lock_guard guard(lock_);
  auto found = endings_.find(pid);
  if (found == endings_.end()) return std::nullopt;
  return found->second;
}

bool Tracer::traced(pid_t pid) {
  std::lock_guard guard(lock_);
  return std::find(untraced_.begin(), untraced_.end(), pid) == untraced_.end();
}

std::string Tracer::refusal() {
  std::lock_guard guard(lock_);
  return refusal_;
}

bool Tracer::stopped(pid_t pid) {
  std::lock_guard guard(lock_);
  auto found = group_stopped_.find(pid);
  return found != group_stopped_.end() && found->second;
}

std::vector<Traced> Tracer::take() {
  std::lock_guard guard(lock_);
  return std::exchange(news_, {});
}

void Tracer::emit(Traced traced) {
  std::lock_guard guard(lock_);
  news_.push_back(std::move(traced));
}

void Tracer::run() {
  std::optional<Clock::time_point> quitting;
  for (;;) {
    serve();
    int status;
    pid_t pid = waitpid(-1, &status, __WALL | __WNOTHREAD | WNOHANG);
    if (pid > 0) {
      handle(pid, status);
      continue;
    }
    bool quit;
    {
      std::lock_guard guard(lock_);
      quit = quit_;
    }
    if (quit) {
      if (pid < 0 || (quitting && Clock::now() - *quitting > std::chrono::seconds(2))) {
        for (auto& [process, pidfd] : pidfds_) close(pidfd);
        pidfds_.clear();
        return;
      }
      // Whatever is left ends with the tour, as it would untraced: each
      // process through the pidfd held since it was seized, which no other
      // process can ever be given.
      if (!quitting)
        for (auto& [process, pidfd] : pidfds_) signal_pidfd(pidfd, SIGKILL);
      quitting = quitting.value_or(Clock::now());
    }
    pollfd ready[2] = {{wake_, POLLIN, 0}, {children_, POLLIN, 0}};
    poll(ready, 2, quit ? 10 : -1);
    uint64_t count;
    while (read(wake_, &count, sizeof count) > 0) continue;
    signalfd_siginfo info;
    while (read(children_, &info, sizeof info) > 0) continue;
  }
}

// A launch asked for: the fork happens here, as the one who traces must be
// the one who seizes, and reaps.
void Tracer::serve() {
  std::function<pid_t()> request;
  {
    std::lock_guard guard(lock_);
    if (!requested_) return;
    request = request_;
  }
  pid_t pid = request();
  if (pid > 0) {
    int status = 0;
    // It stops itself before its exec, or dies trying.
    while (waitpid(pid, &status, WSTOPPED | __WALL) < 0 && errno == EINTR) continue;
    if (!WIFSTOPPED(status)) {
      std::lock_guard guard(lock_);
      endings_[pid] = status;
      untraced_.push_back(pid);
    } else if (ptrace(PTRACE_SEIZE, pid, 0, kTraceOptions) < 0) {
      // Another tracer holds it, or a policy forbids tracing: it runs
      // untraced, and is reaped here all the same.
      std::lock_guard guard(lock_);
      refusal_ = std::string("ptrace: ") + strerror(errno);
      untraced_.push_back(pid);
    } else {
      tracees_[pid] = {.process = pid, .started = false};
      hold(pid);
    }
    // Unreaped, it is still surely ours.
    if (WIFSTOPPED(status)) kill(pid, SIGCONT);
  }
  std::lock_guard guard(lock_);
  answer_ = pid;
  requested_ = false;
  served_.notify_all();
}

void Tracer::handle(pid_t pid, int status) {
  Clock::time_point now = Clock::now();
  if (WIFEXITED(status) || WIFSIGNALED(status)) {
    auto found = tracees_.find(pid);
    if (found != tracees_.end()) {
      settle(found->second, 0, true);
      // A thread's end is not its process's.
      if (found->second.started && found->second.process == pid)
        emit({.kind = Traced::Exit, .pid = pid, .at = now, .status = status});
      tracees_.erase(found);
    }
    let_go(pid);
    std::lock_guard guard(lock_);
    endings_[pid] = status;
    group_stopped_.erase(pid);
    return;
  }
  if (!WIFSTOPPED(status)) return;
  // A child made by a tracee is followed from its first instruction, and
  // may report before its parent's fork does.
  Tracee& tracee = tracees_[pid];
  if (!tracee.process) tracee.process = process_of(pid);
  pid_t process = tracee.process;
  int sig = WSTOPSIG(status);
  int event = status >> 16;
  int restart_with = 0;
  __ptrace_request restart = PTRACE_SYSCALL;
  if (sig == (SIGTRAP | 0x80)) {
    syscall_stop(pid, tracee);
  } else if (event == PTRACE_EVENT_STOP) {
    bool group = sig == SIGSTOP || sig == SIGTSTP || sig == SIGTTIN || sig == SIGTTOU;
    if (group) {
      // Stopped until continued, as untraced: listen, do not restart.
      restart = PTRACE_LISTEN;
      // Each thread stops with its group: the process is told once.
      if (!tracee.stopped && tracee.started && process == pid)
        emit({.kind = Traced::Stop, .pid = pid, .at = now, .signal = sig});
      tracee.stopped = true;
    } else if (tracee.stopped) {
      if (tracee.started && process == pid) emit({.kind = Traced::Continue, .pid = pid, .at = now});
      tracee.stopped = false;
    }
    std::lock_guard guard(lock_);
    group_stopped_[pid] = tracee.stopped && tracee.started;
  } else if (event == PTRACE_EVENT_FORK || event == PTRACE_EVENT_VFORK ||
             event == PTRACE_EVENT_CLONE) {
    unsigned long message = 0;
    ptrace(PTRACE_GETEVENTMSG, pid, 0, &message);
    auto child = static_cast<pid_t>(message);
    tracee.last_child = child;
    Tracee& made = tracees_[child];
    made.started = tracee.started;
    if (!made.process) made.process = process_of(child);
    // A thread is drawn with its process; only a process of its own is a fork.
    if (made.process == child) {
      hold(child);
      if (tracee.started) emit({.kind = Traced::Fork, .pid = process, .at = now, .peer = child});
    }
  } else if (event == PTRACE_EVENT_EXEC) {
    // Exec'd from another thread, that thread now goes by the process's id,
    // and the id it had is freed without a word: forget it, or whatever is
    // given that id next would be taken for ours.
    unsigned long former = pid;
    ptrace(PTRACE_GETEVENTMSG, pid, 0, &former);
    if (static_cast<pid_t>(former) != pid) {
      auto thread = tracees_.find(static_cast<pid_t>(former));
      if (thread != tracees_.end()) {
        tracee = std::move(thread->second);
        tracee.process = pid;
        tracees_.erase(thread);
      }
      std::lock_guard guard(lock_);
      group_stopped_.erase(static_cast<pid_t>(former));
    }
    // From here on it is the program itself.
    tracee.started = true;
  } else if (event == 0) {
    // A signal on its way in: let it through as it came.
    siginfo_t info{};
    bool known = ptrace(PTRACE_GETSIGINFO, pid, 0, &info) == 0;
    restart_with = sig;
    bool caught = catches(pid, sig);
    if (tracee.started)
      emit({.kind = Traced::Delivery,
            .pid = process,
            .at = now,
            .signal = sig,
            .peer = known && info.si_code <= 0 ? info.si_pid : 0,
            .caught = caught});
    if (caught) tracee.depth++;
  }
  ptrace(restart, pid, 0, restart_with);
}

// A pidfd for `pid` while it is sure to be ours: seized or just made, and
// not yet reaped. A thread has none; its process's pidfd stands for it.
void Tracer::hold(pid_t pid) {
  int pidfd = open_pidfd(pid);
  if (pidfd >= 0) pidfds_[pid] = pidfd;
}

void Tracer::let_go(pid_t pid) {
  auto held = pidfds_.find(pid);
  if (held == pidfds_.end()) return;
  close(held->second);
  pidfds_.erase(held);
}

void Tracer::syscall_stop(pid_t pid, Tracee& tracee) {
  __ptrace_syscall_info info{};
  if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) <= 0) return;
  if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
    std::array<uint64_t, 6> args;
    std::copy(std::begin(info.entry.args), std::end(info.entry.args), args.begin());
    entered(pid, tracee, static_cast<long>(info.entry.nr), args, info.instruction_pointer);
  } else if (info.op == PTRACE_SYSCALL_INFO_EXIT) {
    returned(pid, tracee, info.exit.rval);
  }
}

void Tracer::entered(pid_t pid, Tracee& tracee, long nr, const std::array<uint64_t, 6>& args,
                     uint64_t ip) {
  auto now = Clock::now();
  if (!tracee.parked.empty() && tracee.parked.back().depth == tracee.depth &&
      restarting(tracee.parked.back().raw)) {
    Pending& parked = tracee.parked.back();
    // The kernel restarting it: the same instruction with the same arguments,
    // or its restart block. Then it is the same call going on. (A call that
    // failed with EINTR and is made again by the program is a new call.)
    if (nr == SYS_restart_syscall || (nr == parked.nr && args == parked.args && ip == parked.ip)) {
      tracee.call = std::move(parked);
      tracee.call->returned = false;
      tracee.parked.pop_back();
      return;
    }
  }
  // What was interrupted at this depth or within it is past restarting; a
  // handler's own calls run while the call it interrupted waits.
  settle(tracee, tracee.depth, false);
  Pending call{.nr = nr, .args = args, .ip = ip, .depth = tracee.depth};
  const char* name = tracee.started ? call_name(nr) : nullptr;
  if (nr == SYS_rt_sigreturn && tracee.depth > 0) tracee.depth--;
  if (!name) {
    tracee.call = call;
    return;
  }
  Traced& seen = call.seen;
  seen = {.kind = Traced::Call, .pid = tracee.process, .at = now, .call = name};
  if (!read_entry(pid, nr, args, seen)) name = nullptr;
  if (!name) {
    tracee.call = Pending{.nr = nr, .args = args, .ip = ip, .depth = call.depth};
    return;
  }
  call.id = next_id_++;
  seen.id = call.id;
  emit(seen);
  if (nr == SYS_rt_sigreturn) {
    // It returns into the interrupted code, never to its caller.
    seen.until = now;
    emit(seen);
    call.id = 0;
  }
  tracee.call = std::move(call);
}

void Tracer::returned(pid_t pid, Tracee& tracee, int64_t rval) {
  if (!tracee.call) return;
  Pending call = std::move(*tracee.call);
  tracee.call.reset();
  call.raw = rval;
  call.returned = true;
  call.returned_at = Clock::now();
  if (call.nr == SYS_rt_sigreturn) {
    // Back from a handler: a call it interrupted is restarted (the kernel
    // has put its number back to run it again) or fails with EINTR.
    if (!tracee.parked.empty() && tracee.parked.back().depth == tracee.depth && rval == -EINTR)
      tracee.parked.back().raw = -EINTR;
    return;
  }
  // Interrupted: it may yet be restarted, or the signal may end the process
  // before the program ever sees the failure.
  if (restarting(rval) || (call.id && rval == -EINTR)) {
    tracee.parked.push_back(std::move(call));
    return;
  }
  // A child made with CLONE_UNTRACED is never reported to us: its fork
  // returns an id that no event named.
  if (makes_a_child(call.nr) && rval > 0 && tracee.started && rval != tracee.last_child)
    emit({.kind = Traced::Escape,
          .pid = tracee.process,
          .at = call.returned_at,
          .peer = static_cast<pid_t>(rval)});
  if (makes_a_child(call.nr)) tracee.last_child = 0;
  if (call.id == 0) return;
  if (call.nr == SYS_read && rval > 0)
    call.seen.bytes = peek(pid, call.args[1], std::min<int64_t>(rval, kBytesKept));
  emit_call(call, false);
}

void Tracer::emit_call(const Pending& call, bool cut) {
  if (call.id == 0) return;
  Traced seen = call.seen;
  seen.until = call.returned ? call.returned_at : Clock::now();
  seen.cut = cut;
  // A restart that never came reaches the program as EINTR.
  seen.result = restarting(call.raw) ? -EINTR : call.raw;
  emit(seen);
}

// Settles the interrupted calls at `depth` and within; with `cut`, the
// process has ended and none of them, nor the call it was in, returned.
void Tracer::settle(Tracee& tracee, int depth, bool cut) {
  while (!tracee.parked.empty() && tracee.parked.back().depth >= depth) {
    emit_call(tracee.parked.back(), cut);
    tracee.parked.pop_back();
  }
  if (cut && tracee.call) emit_call(*tracee.call, true), tracee.call.reset();
}

}  // namespace kit
