// What ipcwatch saw, kept as a timeline: a lane for each process that
// touched the kit's objects, its states as /proc showed them, and the
// objects' values, in the record that the tour's pictures are drawn from.
#pragma once

#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_trace.h"
#include "look.h"
#include "process.h"
#include "record.h"

namespace look {

// The most history a recording keeps; older moments are dropped, and the
// picture says so.
constexpr double kKeptSeconds = 600;

// Events a recording has room for before its record must grow.
constexpr size_t kRoomAhead = 1 << 15;

// The kit's programs, by their files' names: each is drawn from its start.
// The means are the averager's sample program, as its guide names it built.
inline const std::vector<std::string> kPrograms = {
    "gatewait",          "gatepost", "turnstile", "pipechat", "pipechat-server", "slatewatch",
    "slatewatch-client", "fork",     "catcher",   "pause",    "means",           "means-static"};

// A line of the running log, with the moment it tells of, in seconds from
// the start: lines are printed in the order of their moments.
struct Said {
  double at;
  std::string text;
};
using Log = std::vector<Said>;

class Recorder {
 public:
  // Keeps the last `kept_seconds` of the recording.
  explicit Recorder(kit::Record& record, double kept_seconds = kKeptSeconds);
  // Takes the record's room from memory now, for a recording: a burst of
  // calls then does not stop at a page fault every few dozen events.
  void hold_room();

  // Takes in one look at the world, `at` seconds from the start; returns
  // what changed, as lines for the terminal.
  Log take(const World& world, double at);
  // Takes in what the kernel's tracepoints reported, `start` being the
  // monotonic moment of the recording's second 0; follows each process
  // that joins in `trace`.
  Log take(std::span<const KernelEvent> events, double start, KernelTrace& trace);
  // The same, its lines added to `said`: a busy log's room kept from one
  // burst to the next.
  void take(std::span<const KernelEvent> events, double start, KernelTrace& trace, Log& said);
  // At the end: what was still going on was drawn from the kernel's events;
  // a lane gone with no word from the kernel of how ended as a look saw.
  void finish();
  // Operations on the set by processes outside our PID namespace, which
  // have no number here to be drawn by.
  size_t unnamed() const { return unnamed_; }
  // With no tracing: the kit's own programs running in our IPC namespace,
  // found by their executables, so that one that is never seen waiting or
  // holding still gets its lane.
  Log find_programs(double at);

 private:
  void add(kit::Event event, Log& said);
  // Says what `lane` did at `at`, in the pictures' words.
  void tell(double at, int lane, const std::string& what, Log& said);
  // The same, said in pieces, put together once.
  void tell(double at, int lane, std::initializer_list<std::string_view> what, Log& said);
  std::string who(int lane) const;
  // `command` is the kernel's name for it, where /proc may have none left.
  void join(pid_t pid, double at, Log& said, bool sampled = true, const std::string& command = "");
  int lane_of(pid_t pid) const;
  void take(const KernelEvent& event, double at, KernelTrace& trace, Log& said);
  void entered(const KernelEvent& event, double at, KernelTrace& trace, Log& said);
  void returned(const KernelEvent& event, double at, KernelTrace& trace, Log& said);
  void delivered(const KernelEvent& event, double at, int lane, Log& said);
  void waiting_before(pid_t pid, int set, double at);
  void opened(const KernelEvent& event, double at, KernelTrace& trace, Log& said);
  std::string target_of(const KernelEvent& event);
  void follow(int lane, double at, Log& said);
  void forget_before(double cut);

  struct Seen {
    kit::Look look;
    unsigned long runs = 0;  // times it has been put on a processor
    bool ended = false;
    double gone = -1;  // when a look found it gone, its end not yet reported
  };
  kit::Record& record_;
  double kept_seconds_;
  std::map<pid_t, int> lanes_;
  std::vector<Seen> seen_;
  std::vector<kit::Event> objects_;  // each object as last recorded

  // What the kernel's events left open: per process, the calls it is in,
  // innermost last (a handler's calls run while the one it broke into
  // waits to restart), each by its index among the record's events, with
  // whom a semaphore call woke.
  struct InCall {
    size_t event = 0;
    std::string_view call;  // as the vocabulary names it
    std::vector<pid_t> woke;
    bool restarting = false;  // broken into by a signal, to go on after its handler
  };
  std::map<pid_t, std::vector<InCall>> in_call_;
  InCall* innermost(pid_t pid);
  // A call that has just failed with EINTR, as the process's latest doing:
  // a signal that then ends the process broke it off.
  struct Interrupted {
    size_t event;
    Said line;  // its line, said unless a signal ends the process next
  };
  std::map<pid_t, Interrupted> interrupted_;
  struct Opening {
    double at;
    uint64_t flags;
    std::string path;  // as the opener named it
  };
  std::map<pid_t, Opening> opening_;  // an open entered, not yet returned
  std::map<pid_t, double> joined_;    // when each lane joined
  struct Sent {
    double at;
    pid_t by;
    int signal;
    size_t event;
    std::string from;   // "from the terminal", "from pause 12"
    bool told = false;  // said to be held back, not yet delivered
  };
  std::map<pid_t, Sent> sent_;           // a signal generated for a lane, not yet delivered
  std::map<pid_t, std::string> ending_;  // how a lane is ending: "exit 0", "SIGINT"
  void ended(pid_t pid, double at, Log& said);
  // Per FIFO, the bytes written into it and not yet read, by whom.
  struct Unread {
    int lane;
    std::string bytes;
  };
  std::map<std::string, std::vector<Unread>> unread_;
  std::string read_from(const kit::Event& read);
  bool begun_ = false;
  size_t unnamed_ = 0;
  std::set<pid_t> checked_;   // processes whose executable was looked at
  std::string last_started_;  // the kernel's last process ID when they were
};

}  // namespace look
