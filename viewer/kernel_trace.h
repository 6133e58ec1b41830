// The kernel's own account of what the programs do, read from its
// tracepoints in a tracing instance of ipcwatch's own: each system call on
// the kit's objects as it enters and returns, who woke whom, each signal as
// it is sent and delivered, each fork, exec and exit. Reading them changes
// nothing in the programs traced: no process is attached to or stopped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace look {

// One line of the kernel's trace.
struct KernelEvent {
  double at = 0;                    // CLOCK_MONOTONIC seconds, as the steady clock
  pid_t pid = 0;                    // the task it happened in
  bool interrupt = false;           // raised in a hard or soft interrupt, not by the task
  std::string name;                 // "semop" for a system call, else the event's: "sched_waking"
  bool call = false, exit = false;  // a system call's entry, or its return
  std::vector<uint64_t> args;       // a call's arguments, in the order the kernel lists them
  int64_t result = 0;               // a call's return value, or -errno
  std::string fields;               // the rest of any other event: "comm=gatewait pid=12 ..."

  // The number after "key=" in `fields`, or -1.
  long field(std::string_view key) const;
};

class KernelTrace {
 public:
  // Made where the tracing file system can be used (mounted here for the
  // recording if nowhere else); otherwise none, and `why` says what refused.
  static std::unique_ptr<KernelTrace> start(std::string& why);
  ~KernelTrace();
  KernelTrace(const KernelTrace&) = delete;
  KernelTrace& operator=(const KernelTrace&) = delete;

  int fd() const { return pipe_; }  // readable when events wait
  // What arrived since the last call, in the order the kernel stamped it.
  std::vector<KernelEvent> take();
  // Follows `pid`'s reads, writes and wake-ups from now on, which for every
  // process would flood the trace.
  void follow(pid_t pid);
  // Events the kernel dropped, its buffer full while the machine was busy.
  long lost() const { return lost_; }

  // The instance's folder, for tests; the prefix every one of ours carries,
  // then its recorder's PID and the inode of that PID's namespace.
  const std::string& instance() const { return instance_; }
  static constexpr const char* kPrefix = "ipcwatch-";

 private:
  KernelTrace() = default;
  bool enable(std::string& why);
  void filter_followed();

  std::string root_;      // where the tracing file system is mounted
  bool mounted_ = false;  // by us, for the recording
  std::string instance_;
  int pipe_ = -1;
  std::string partial_;  // a line not yet whole
  std::set<pid_t> followed_;
  long lost_ = 0;
};

}  // namespace look
