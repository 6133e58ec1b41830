// The kernel's events taken into the recording, as the tour's tracer's calls
// are into a scene: each call on the kit's objects decoded into the words
// both sources share, an event of its own, finished in place when it
// returns. Every amount is the one the caller asked, read by the kernel.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "calls.h"
#include "recording.h"
#include "visible.h"

namespace look {
namespace {

using kit::Event;
using kit::Happening;
using kit::Traced;

// A signal delivered this long after it was sent was held back meanwhile.
constexpr double kHeld = 0.01;
constexpr int kSiKernel = 0x80;
// The kernel's word, as a signal is sent, for one its disposition discards.
constexpr int64_t kSignalIgnored = 1;
// The kernel's own codes for a call it will restart once a handler returns.
constexpr int64_t kRestartSys = -512, kRestartNoIntr = -513, kRestartNoHand = -514,
                  kRestartBlock = -516;

bool restarting(int64_t result) {
  return result == kRestartSys || result == kRestartNoIntr || result == kRestartNoHand ||
         result == kRestartBlock;
}  // a signal the kernel made itself: the terminal's, for its keys

// Whether `sig`, left to its default, ends the process.
bool ends_by_default(int sig) {
  switch (sig) {
    case SIGCHLD:
    case SIGCONT:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return sig > 0;
  }
}

// A call the process ended in, at `at`: it never returned.
void cut_off(Event& call, double at) {
  call.cut = true;
  if (call.until < 0) call.until = at;
}

// The kit FIFO in our folder that `file` is, by name; "" for any other.
std::string our_fifo(const struct stat& file) {
  for (const char* name : kit::kFifoNames) {
    struct stat fifo {};
    if (stat(name, &fifo) == 0 && S_ISFIFO(fifo.st_mode) && fifo.st_dev == file.st_dev &&
        fifo.st_ino == file.st_ino && file.st_ino != 0)
      return name;
  }
  return "";
}

// The semop `pid` is blocked in, from its memory: what it asked of the set
// `set` before the recording began. None where it cannot be read.
std::optional<KernelEvent::Operation> waiting_in(pid_t pid, int set) {
  std::string dir = "/proc/" + std::to_string(pid) + "/";
  FILE* file = fopen((dir + "syscall").c_str(), "re");
  if (!file) return std::nullopt;
  long nr = -1;
  unsigned long long semid = 0, address = 0, count = 0;
  int got = fscanf(file, "%ld %llx %llx %llx", &nr, &semid, &address, &count);
  fclose(file);
  if (got != 4 || (nr != SYS_semop && nr != SYS_semtimedop) || static_cast<int>(semid) != set ||
      count < 1)
    return std::nullopt;
  int memory = open((dir + "mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (memory < 0) return std::nullopt;
  struct sembuf op {};
  bool read = pread(memory, &op, sizeof op, static_cast<off_t>(address)) == sizeof op;
  close(memory);
  if (!read) return std::nullopt;
  return KernelEvent::Operation{op.sem_num, op.sem_op, op.sem_flg};
}

}  // namespace

Recorder::InCall* Recorder::innermost(pid_t pid) {
  auto calls = in_call_.find(pid);
  return calls == in_call_.end() || calls->second.empty() ? nullptr : &calls->second.back();
}

int Recorder::lane_of(pid_t pid) const {
  auto found = lanes_.find(pid);
  return found == lanes_.end() ? -1 : found->second;
}

// What the descriptor leads to, of what the recording draws: one of the
// kit's FIFOs, by name, an unnamed pipe or the terminal; "" for anything
// else. From the file as the kernel held it, so that a process gone since
// is still placed.
std::string Recorder::target_of(const KernelEvent& event) {
  if (event.pipe) return "pipe";
  if (S_ISFIFO(event.mode)) {
    struct stat file {};
    file.st_dev = event.device;
    file.st_ino = event.inode;
    return our_fifo(file);
  }
  if (!S_ISCHR(event.mode)) return "";
  // The terminals: pseudo-terminals, virtual consoles and serial lines, and
  // /dev/tty and /dev/console.
  unsigned int type = major(event.rdev), which = minor(event.rdev);
  bool terminal = (type >= 136 && type <= 143) || type == 4 || (type == 5 && which <= 1);
  return terminal ? "terminal" : "";
}

Log Recorder::take(std::span<const KernelEvent> events, double start, KernelTrace& trace) {
  Log said;
  take(events, start, trace, said);
  return said;
}

void Recorder::take(std::span<const KernelEvent> events, double start, KernelTrace& trace,
                    Log& said) {
  for (auto& [pid, lane] : lanes_) trace.follow(pid);  // those the looks found too
  for (auto& event : events) take(event, event.at - start, trace, said);
  // A call that failed with EINTR and was not then broke off, as the
  // program saw it.
  for (auto& [pid, last] : interrupted_) said.push_back(std::move(last.line));
  interrupted_.clear();
  // A signal not delivered at once is held back: said once, as it waits.
  timespec clock{};
  clock_gettime(CLOCK_MONOTONIC, &clock);
  double now = static_cast<double>(clock.tv_sec) + static_cast<double>(clock.tv_nsec) / 1e9 - start;
  for (auto& [pid, sent] : sent_)
    if (!sent.told && now - sent.at > kHeld) {
      sent.told = true;
      tell(sent.at, -1,
           kit::signal_name(sent.signal) + " " + sent.from + " to " + who(lane_of(pid)) +
               " is held back: pending",
           said);
    }
}

// Who wrote what `read` read from a FIFO, in the log's words; "" where the
// bytes are not the ones seen written, in the order written.
std::string Recorder::read_from(const Event& read) {
  auto& unread = unread_[read.target];
  std::string_view bytes = read.bytes;
  std::vector<int> writers;
  size_t used = 0;
  for (; used < unread.size() && !bytes.empty(); used++) {
    std::string& written = unread[used].bytes;
    size_t part = std::min(written.size(), bytes.size());
    if (bytes.substr(0, part) != std::string_view(written).substr(0, part)) {
      unread.clear();
      return "";
    }
    writers.push_back(unread[used].lane);
    bytes.remove_prefix(part);
    written.erase(0, part);
    if (!written.empty()) break;
  }
  unread.erase(unread.begin(), unread.begin() + static_cast<long>(std::min(used, unread.size())));
  if (!bytes.empty() || writers.empty()) {
    unread.clear();
    return "";
  }
  if (writers.size() == 1 && unread.empty())
    return who(writers[0]) + " writes " + read.text + " into " + read.target + "; " +
           who(read.lane) + " reads it";
  std::string by;
  for (int lane : writers)
    if (by.find(who(lane)) == std::string::npos) by += (by.empty() ? "" : " and ") + who(lane);
  return who(read.lane) + ": read " + read.text + " from " + read.target + ", written by " + by;
}

// A call enters: decoded into the words both sources share.
void Recorder::entered(const KernelEvent& event, double at, KernelTrace& trace, Log& said) {
  if (auto last = interrupted_.find(event.pid); last != interrupted_.end()) {
    said.push_back(std::move(last->second.line));
    interrupted_.erase(last);
  }
  // The call a handler broke into, going on where it was.
  if (InCall* in = innermost(event.pid); in && in->restarting && in->call == event.name) {
    in->restarting = false;
    return;
  }
  bool shared = event.name.starts_with("sem") || event.name.starts_with("shm");
  if (event.pid <= 0) {
    if (shared) unnamed_++;
    return;
  }
  Traced call{.call = std::string(event.name)};
  const uint64_t* args = event.args;
  if (event.name == "semop") {
    if (event.operations.empty()) return;
    auto& first = event.operations.front();
    call.detail = {first.number, first.change, first.flags};
    call.target = kit::semaphore_target(first.number);
  } else if (event.name == "semctl") {
    call.detail = {static_cast<int64_t>(args[2] & ~0x100u), static_cast<int>(args[3]),
                   static_cast<int64_t>(args[1])};
    call.target = kit::semaphore_target(static_cast<long>(args[1]));
  } else if (event.name == "semget" || event.name == "shmget") {
    call.detail = {static_cast<int64_t>(args[0]), static_cast<int64_t>(args[1]),
                   static_cast<int64_t>(args[2])};
  } else if (event.name == "shmat") {
    call.target = "segment " + std::to_string(args[0]);
  } else if (event.name == "nanosleep") {
    if (lane_of(event.pid) < 0) return;
    timespec span{};
    if (event.bytes.size() == sizeof span) memcpy(&span, event.bytes.data(), sizeof span);
    call.detail = {span.tv_sec, span.tv_nsec, 0};
  } else if (event.name == "open") {
    // An open of a path, not a look at one, makes an end of a FIFO; which
    // file it named is known once it returns.
    if (!(args[2] & O_PATH)) opening_[event.pid] = {at, args[2], event.bytes};
    return;
  } else if (event.name == "read" || event.name == "write") {
    if (lane_of(event.pid) < 0) return;
    call.target = target_of(event);
    if (call.target.empty()) return;
    call.bytes = event.bytes;
    call.detail = {static_cast<int64_t>(args[0]), static_cast<int64_t>(args[2]), 0};
    // A write's bytes are in the FIFO before it returns, and its reader may
    // return first, on another processor: kept as it enters.
    if (event.name == "write" && call.target != "terminal" && call.target != "pipe") {
      if (args[2] <= event.bytes.size())
        unread_[call.target].push_back({lane_of(event.pid), event.bytes.substr(0, args[2])});
      else
        unread_[call.target].clear();  // more than was kept: what follows cannot be placed
    }
  } else if (event.name == "pause") {
    if (lane_of(event.pid) < 0) return;
  } else if (event.name == "kill") {
    if (lane_of(event.pid) < 0) return;
    call.detail = {static_cast<pid_t>(args[0]), static_cast<int>(args[1]), 0};
  } else if (event.name == "rt_sigreturn") {
    if (lane_of(event.pid) < 0) return;
    Event back = kit::call_event(call, at, lane_of(event.pid));
    back.until = at;
    record_.events.push_back(std::move(back));
    return;
  } else {
    return;
  }
  if (shared) {
    join(event.pid, at, said, false, event.command);
    trace.follow(event.pid);
  }
  Event drawn = kit::call_event(call, at, lane_of(event.pid));
  if (event.operations.size() > 1)
    drawn.text += " and " + std::to_string(event.operations.size() - 1) + " more";
  in_call_[event.pid].push_back({record_.events.size(), event.name});
  record_.events.push_back(std::move(drawn));
}

// A call returns: finished in place, and said.
void Recorder::returned(const KernelEvent& event, double at, KernelTrace& trace, Log& said) {
  if (event.name == "open") return opened(event, at, trace, said);
  InCall* open = innermost(event.pid);
  if (!open || open->call != event.name) return;
  // Broken into by a signal: it goes on once its handler returns.
  if (restarting(event.result)) {
    open->restarting = true;
    return;
  }
  InCall in = std::move(*open);
  in_call_[event.pid].pop_back();
  Event& call = record_.events[in.event];
  kit::call_returned(
      call, Traced{.call = std::string(event.name), .bytes = event.bytes, .result = event.result},
      at);
  std::string failure = call.failed.empty() ? "" : " failed: " + call.failed;
  // Whether the program saw it fail is known by what comes next: a signal
  // that ends it broke it off instead.
  if (call.failed == "EINTR") {
    Log line;
    tell(at, call.lane, call.call + " " + call.text + failure, line);
    interrupted_[event.pid] = {in.event, std::move(line.front())};
    return;
  }
  // A sleep is drawn, not said: the states already say it, each time.
  if (call.call == "nanosleep") return;
  if (call.call == "read" || call.call == "write") {
    bool fifo = call.target != "terminal" && call.target != "pipe" && call.value > 0;
    // What crosses a FIFO is told as it arrives, with who sent it.
    if (fifo && call.call == "read") {
      if (std::string relation = read_from(call); !relation.empty()) {
        tell(at, -1, relation, said);
        return;
      }
    }
    tell(at, call.lane,
         {call.call, " ", call.text, call.call == "read" ? " from " : " into ", call.target,
          failure},
         said);
    return;
  }
  std::string let;
  for (pid_t woken : in.woke)
    if (int lane = lane_of(woken); lane >= 0) let += (let.empty() ? "" : " and ") + who(lane);
  // A call that asks nothing more is said by what it acts on: "shmat segment 3".
  const std::string& asked = call.text == call.call ? call.target : call.text;
  tell(at, call.lane,
       {call.call, asked.empty() ? "" : " ", asked, failure, let.empty() ? "" : ", lets ", let,
        let.empty() ? "" : " through"},
       said);
}

void Recorder::take(const KernelEvent& event, double at, KernelTrace& trace, Log& said) {
  int lane = lane_of(event.pid);
  switch (event.kind) {
    case KernelEvent::Enter:
      return entered(event, at, trace, said);
    case KernelEvent::Return:
      return returned(event, at, trace, said);
    case KernelEvent::Waking: {
      // The kernel sends only a task's own wakes, never an interrupt's.
      InCall* waker = innermost(event.pid);
      InCall* wakee = innermost(event.other);
      if (!waker || !wakee || !waker->call.starts_with("sem") || wakee->call != "semop") return;
      auto& woke = waker->woke;
      if (std::find(woke.begin(), woke.end(), event.other) == woke.end())
        woke.push_back(event.other);
      return;
    }
    case KernelEvent::Sent: {
      int target = lane_of(event.other);
      // Discarded as it is sent, by its disposition: it is never delivered.
      bool ignored = event.result == kSignalIgnored;
      if (target < 0 || (event.result != 0 && event.result != 2 && !ignored)) return;
      int sig = event.signal;

      record_.events.push_back({.at = at,
                                .what = Happening::Signal,
                                .lane = target,
                                .text = kit::signal_name(sig),
                                .value = sig});
      bool key = sig == SIGINT || sig == SIGQUIT || sig == SIGTSTP;
      int sender = lane_of(event.pid);
      std::string from = event.code == kSiKernel ? (key ? "from the terminal" : "from the kernel")
                         : sender >= 0           ? "from " + who(sender)
                                                 : "from process " + std::to_string(event.pid);
      if (ignored) {
        record_.events.push_back({.at = at,
                                  .what = Happening::Delivery,
                                  .lane = target,
                                  .text = kit::signal_name(sig),
                                  .value = sig,
                                  .peer = sender == target ? -1 : sender});
        tell(at, -1, kit::signal_name(sig) + " " + from + " is ignored by " + who(target), said);
        return;
      }
      // Said as it is delivered, or as it waits.
      sent_[event.other] = {at, event.pid, sig, record_.events.size() - 1, from};
      return;
    }
    case KernelEvent::Delivered:
      if (lane >= 0) delivered(event, at, lane, said);
      return;
    case KernelEvent::Exec: {
      // A child that became a kit program is drawn as that program, by its
      // whole name where the kernel's cuts it.
      std::string path = event.bytes.substr(0, event.bytes.find('\0'));
      std::string file = path.substr(path.rfind('/') + 1);
      bool whole = file.starts_with(event.command) &&
                   std::find(kPrograms.begin(), kPrograms.end(), file) != kPrograms.end();
      std::string name = whole ? file : event.command;
      if (lane >= 0)
        record_.lanes[lane].label = kit::visible(name);
      else
        join(event.pid, at, said, false, name);
      return;
    }
    case KernelEvent::Gone:
      if (lane >= 0) {
        for (auto& in : in_call_[event.pid]) cut_off(record_.events[in.event], at);
        in_call_.erase(event.pid);
        ending_[event.pid] = kit::ending_of(event.status);
        ended(event.pid, at, said);
      }
      return;
    case KernelEvent::Fork: {
      int parent = lane;
      pid_t child = event.other;
      if (parent < 0 || child <= 0 || lane_of(child) >= 0) return;
      int index = static_cast<int>(record_.lanes.size());
      lanes_[child] = index;
      joined_[child] = at;
      record_.lanes.push_back({record_.lanes[parent].label + "'s child", child,
                               record_.lanes[parent].hue, parent, record_.lanes[parent].piped});
      seen_.push_back({});
      trace.follow(child);
      record_.events.push_back({.at = at,
                                .what = Happening::Fork,
                                .lane = parent,
                                .text = "forks " + std::to_string(child),
                                .peer = index});
      tell(at, parent, "forks " + std::to_string(child), said);
      return;
    }
  }
}

void Recorder::delivered(const KernelEvent& event, double at, int lane, Log& said) {
  int sig = event.signal;
  pid_t by = 0;
  std::string from;
  auto sent = sent_.find(event.pid);
  if (sent != sent_.end()) {
    // The other threads of a process a signal ends are told with SIGKILL.
    if (sig == SIGKILL) sig = sent->second.signal;
    by = sent->second.by;
    from = " " + sent->second.from;
    record_.events[sent->second.event].blocked = at - sent->second.at > kHeld;
    sent_.erase(sent);
  }
  // Left to its default, a signal that ends the process is how it ends.
  bool fatal = event.handler == 0 && ends_by_default(sig);
  if (fatal) {
    // The calls it broke off never returned to the program: it ends in them.
    for (auto& in : in_call_[event.pid]) cut_off(record_.events[in.event], at);
    in_call_.erase(event.pid);
    if (auto last = interrupted_.find(event.pid); last != interrupted_.end()) {
      Event& call = record_.events[last->second.event];
      call.cut = true, call.failed.clear(), call.value = -1;
      interrupted_.erase(last);
    }
  }
  record_.events.push_back({.at = at,
                            .what = Happening::Delivery,
                            .lane = lane,
                            .text = kit::signal_name(sig),
                            .value = sig,
                            .peer = by == event.pid ? -1 : lane_of(by),
                            .caught = event.handler == 2});
  tell(at, -1,
       kit::signal_name(sig) + from +
           (fatal                ? " ends "
            : event.handler == 2 ? " is handled by "
            : event.handler == 1 ? " is ignored by "
                                 : " is delivered to ") +
           who(lane),
       said);
}

void Recorder::finish() {
  // Gone, with no word from the kernel of how: ended, as the look saw.
  for (size_t lane = 0; lane < seen_.size(); lane++)
    if (seen_[lane].gone >= 0)
      record_.events.push_back({.at = seen_[lane].gone,
                                .what = Happening::End,
                                .lane = static_cast<int>(lane),
                                .text = "ended"});
}

// A take already waiting when the recording began: its call, as its
// memory tells it, from the first moment seen.
void Recorder::waiting_before(pid_t pid, int set, double at) {
  auto op = waiting_in(pid, set);
  if (!op || innermost(pid)) return;
  Traced call{.call = "semop",
              .target = kit::semaphore_target(op->number),
              .detail = {op->number, op->change, op->flags}};
  in_call_[pid].push_back({record_.events.size(), "semop"});
  record_.events.push_back(kit::call_event(call, at, lane_of(pid)));
}

// An open of one of the kit's FIFOs makes its opener a lane, from the moment
// it asked: a FIFO's open may wait for the other end.
void Recorder::opened(const KernelEvent& event, double at, KernelTrace& trace, Log& said) {
  auto open = opening_.find(event.pid);
  if (open == opening_.end()) return;
  Opening asked = open->second;
  opening_.erase(open);
  if (event.result < 0) return;
  std::string target = target_of(event);
  if (target.empty() || target == "terminal") return;
  join(event.pid, asked.at, said, false, event.command);
  trace.follow(event.pid);
  Traced call{.call = "open",
              .target = target,
              .bytes = asked.path,
              .detail = {static_cast<int64_t>(asked.flags), 0, 0},
              .result = event.result};
  Event drawn = kit::call_event(call, asked.at, lane_of(event.pid));
  kit::call_returned(drawn, call, at);
  record_.events.push_back(std::move(drawn));
  tell(at, lane_of(event.pid), "opened " + record_.events.back().text, said);
}

Log Recorder::find_programs(double at) {
  Log said;
  // Only when a process has started since the last time.
  std::array<char, 128> load{};
  FILE* file = fopen("/proc/loadavg", "re");
  bool read = file && fgets(load.data(), load.size(), file);
  if (file) fclose(file);
  std::string started = read ? strrchr(load.data(), ' ') : "";
  if (read && started == last_started_) return said;
  last_started_ = started;
  DIR* proc = opendir("/proc");
  if (!proc) return said;
  while (dirent* entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0 || !checked_.insert(pid).second || lane_of(pid) >= 0) continue;
    std::array<char, 4096> exe{};
    std::string dir = std::string("/proc/") + entry->d_name + "/";
    ssize_t length = readlink((dir + "exe").c_str(), exe.data(), exe.size() - 1);
    if (length <= 0) continue;
    std::string_view path(exe.data(), length);
    std::string_view base = path.substr(path.rfind('/') + 1);
    if (std::find(kPrograms.begin(), kPrograms.end(), base) == kPrograms.end()) continue;
    if (kit::shares_our_objects(dir)) join(pid, at, said);
  }
  closedir(proc);
  return said;
}

}  // namespace look
