// The kernel's own account of what the programs do, from BPF programs on
// its tracepoints: each system call on the kit's objects as it enters and
// returns, with what it asked and moved, who woke whom, each signal as it
// is sent and delivered, each fork and each end. The kernel itself keeps to
// what happens in our IPC namespace and to the processes followed. Reading
// them changes nothing in the programs traced: no process is attached to
// or stopped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct kernel_watch;  // the BPF side, as its skeleton names it
struct ring_buffer;   // libbpf's reader of it

namespace look {

// One happening, as the kernel handed it over.
struct KernelEvent {
  enum Kind { Enter = 1, Return, Waking, Sent, Delivered, Fork, Gone, Exec };
  Kind kind = Enter;
  double at = 0;          // CLOCK_MONOTONIC seconds, as the steady clock
  pid_t pid = 0;          // the process it happened in, in our PID namespace
  std::string command;    // what the kernel called the task that did it, then
  long nr = -1;           // a call's number
  std::string_view name;  // and its name, as the pictures say it ("semop", "open"): the
                          // vocabulary's own, which lives as long as the program
  uint64_t args[6]{};
  int64_t result = 0;  // a call's return value, or -errno; a signal's outcome
  pid_t other = 0;     // woken, signalled or made
  int signal = 0, code = 0, status = 0;
  int handler = 0;    // at delivery: 0 default, 1 ignored, 2 a handler
  std::string bytes;  // written, read, or the path opened (the first 256)
  // The file a read or write's descriptor, or an open's new one, leads to:
  // its device and inode, its type and, for a device, which (0: none seen).
  dev_t device = 0, rdev = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  bool pipe = false;  // an unnamed pipe's
  struct Operation {
    int number, change, flags;
  };
  std::vector<Operation> operations;  // a semop's, each as asked
};

class KernelTrace {
 public:
  // Made where the BPF programs can be loaded; otherwise none, and `why`
  // says what refused, in a few words. The `programs` named are followed
  // from their exec on.
  static std::unique_ptr<KernelTrace> start(const std::vector<std::string>& programs,
                                            std::string& why);
  ~KernelTrace();
  KernelTrace(const KernelTrace&) = delete;
  KernelTrace& operator=(const KernelTrace&) = delete;

  int fd() const;  // readable when events wait
  // What arrived since the last call, in the order the kernel stamped it;
  // kept until the next.
  std::span<const KernelEvent> take();
  // Follows `pid`'s reads, writes, wakes and signals from now on.
  void follow(pid_t pid);
  // Events the kernel had no room for, the reader behind.
  long lost() const;

 private:
  KernelTrace() = default;
  struct kernel_watch* skeleton_ = nullptr;
  struct ring_buffer* ring_ = nullptr;
  std::vector<KernelEvent> taken_;  // slots, the first `count_` taken
  size_t count_ = 0;
  // Those followed from here, until the kernel says they ended: each told
  // to the kernel once.
  std::unordered_set<pid_t> following_;
  friend int take_one(void*, void*, size_t);
};

}  // namespace look
