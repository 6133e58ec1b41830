// Follows programs call by call, as a system-call tracer does, so that the
// operations that pass between them (a post, a message, a signal, a fork)
// are seen exactly, however briefly they last. Each program is seized while
// it stops itself before its exec: nothing it does is missed, and no call it
// blocks in is ever disturbed by an attach.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "calls.h"
#include "process.h"

namespace kit {

// Starts processes stopped, seizes them before their exec and follows them
// and every child they make until they end. One thread does all the tracing,
// as ptrace demands, and reaps everything it started; the tour's own
// processes that it did not start are left to it. Answers group-stops with
// PTRACE_LISTEN, so a stopped program stays stopped until continued, exactly
// as untraced.
class Tracer : public Launcher {
 public:
  Tracer();
  ~Tracer() override;

  pid_t launch(const std::function<pid_t()>& fork_stopped) override;
  std::optional<int> reaped(pid_t pid) override;
  // Whether `pid` is followed (it may have refused: another tracer, a
  // policy that forbids ptrace), and why not.
  bool traced(pid_t pid);
  std::string refusal();
  // Whether `pid` sits in a group-stop now, as opposed to a tracing stop.
  bool stopped(pid_t pid);
  // What happened since the last call, in the order it was seen.
  std::vector<Traced> take();

 private:
  struct Pending {
    uint64_t id = 0;
    long nr = -1;
    std::array<uint64_t, 6> args{};
    uint64_t ip = 0;
    int depth = 0;    // handler nesting at entry
    Traced seen;      // as reported at entry
    int64_t raw = 0;  // its return, once returned
    bool returned = false;
    std::chrono::steady_clock::time_point returned_at;
  };
  struct Tracee {
    pid_t process = 0;     // the process a thread is of; its own id for the first
    bool started = true;   // past its exec: the program itself
    pid_t last_child = 0;  // the one its last fork made, as the tracer was told
    bool stopped = false;
    int depth = 0;                // signal handlers running
    std::optional<Pending> call;  // entered, not yet returned
    // Interrupted, innermost last: each may yet be restarted once the
    // handlers above it return, or end the process before it sees EINTR.
    std::vector<Pending> parked;
  };

  void run();
  void serve();
  void handle(pid_t pid, int status);
  void syscall_stop(pid_t pid, Tracee& tracee);
  void entered(pid_t pid, Tracee& tracee, long nr, const std::array<uint64_t, 6>& args,
               uint64_t ip);
  void returned(pid_t pid, Tracee& tracee, int64_t rval);
  void emit_call(const Pending& call, bool cut);
  void settle(Tracee& tracee, int depth, bool cut);
  void emit(Traced traced);
  void hold(pid_t pid);
  void let_go(pid_t pid);

  std::mutex lock_;
  std::condition_variable served_;
  std::function<pid_t()> request_;
  bool requested_ = false;
  pid_t answer_ = -1;
  bool quit_ = false;
  std::map<pid_t, int> endings_;
  std::vector<Traced> news_;
  std::map<pid_t, bool> group_stopped_;
  std::string refusal_;
  std::vector<pid_t> untraced_;

  // The tracing thread's own.
  std::map<pid_t, Tracee> tracees_;
  std::map<pid_t, int> pidfds_;  // each followed process's, by its id
  uint64_t next_id_ = 1;
  int wake_ = -1;      // eventfd: a request came
  int children_ = -1;  // signalfd: SIGCHLD, a child changed state
  sigset_t mask_;      // the signal mask of the thread that made us, given back
  std::thread thread_;
};

}  // namespace kit
