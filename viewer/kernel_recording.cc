// The kernel's events taken into the recording, as the tour's tracer's calls
// are into a scene: each call on the kit's objects an event of its own,
// finished in place when it returns.
//
// A semaphore operation's change lives in the caller's memory, which these
// events do not carry, so it is worked out from what the kernel did: a call
// that woke waiters on the set raised it by one for each, a call woken by
// another's was a take that had waited, and one that did neither changed the
// value by what the kernel's value shows right after it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/sem.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "recording.h"

namespace look {
namespace {

using kit::Event;
using kit::Happening;

constexpr int kSetval = 16, kRemove = 0;  // semctl's commands, as the kernel numbers them
// A signal delivered this long after it was sent was held back meanwhile.
constexpr double kHeld = 0.01;
constexpr std::array kPrograms = {"gatewait",        "gatepost",   "turnstile",         "pipechat",
                                  "pipechat-server", "slatewatch", "slatewatch-client", "fork",
                                  "catcher",         "pause"};

constexpr uint64_t kUnknown = ~0ULL;  // an open's flags, when its entry was not seen

// The flags of `pid`'s descriptor `fd`, as the kernel lists them.
uint64_t flags_of(pid_t pid, int fd) {
  FILE* info =
      fopen(("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd)).c_str(), "re");
  unsigned long flags = O_RDONLY;
  std::array<char, 128> line{};
  while (info && fgets(line.data(), line.size(), info))
    if (sscanf(line.data(), "flags: %lo", &flags) == 1) break;
  if (info) fclose(info);
  return flags;
}

std::string signal_name(int sig) { return std::string("SIG") + (sigabbrev_np(sig) ?: "?"); }

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

double monotonic() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string fd_path(pid_t pid, int fd) {
  return "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
}

// The kit FIFO that `pid` named at `address` in its memory, relative to our
// folder; "" for any other path. Read without stopping it, as the memory of
// a running process may be by one with the right to trace it.
std::string asked_for(pid_t pid, uint64_t address) {
  std::string dir = "/proc/" + std::to_string(pid) + "/";
  struct stat its {
  }, ours{};
  if (stat((dir + "cwd").c_str(), &its) < 0 || stat(".", &ours) < 0 || its.st_dev != ours.st_dev ||
      its.st_ino != ours.st_ino)
    return "";
  int memory = open((dir + "mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (memory < 0) return "";
  std::array<char, 64> name{};
  ssize_t got = pread(memory, name.data(), name.size() - 1, static_cast<off_t>(address));
  close(memory);
  if (got <= 0) return "";
  std::string_view asked(name.data());
  if (asked.starts_with("./")) asked.remove_prefix(2);
  for (const char* fifo : kFifoNames)
    if (asked == fifo) return fifo;
  return "";
}

}  // namespace

int Recorder::lane_of(pid_t pid) const {
  auto found = lanes_.find(pid);
  return found == lanes_.end() ? -1 : found->second;
}

// What the descriptor leads to, of what the recording draws: one of the
// kit's FIFOs, by name, or the terminal; "" for anything else.
std::string Recorder::target_of(pid_t pid, int fd) {
  auto known = targets_.find({pid, fd});
  if (known != targets_.end()) return known->second;
  std::string target;
  struct stat held {};
  errno = 0;
  if (stat(fd_path(pid, fd).c_str(), &held) == 0) {
    if (S_ISFIFO(held.st_mode)) {
      for (const char* name : kFifoNames) {
        struct stat fifo {};
        if (stat(name, &fifo) == 0 && fifo.st_dev == held.st_dev && fifo.st_ino == held.st_ino)
          target = name;
      }
    } else if (S_ISCHR(held.st_mode)) {
      std::array<char, 64> link{};
      if (readlink(fd_path(pid, fd).c_str(), link.data(), link.size() - 1) > 0 &&
          (strncmp(link.data(), "/dev/pts/", 9) == 0 || strncmp(link.data(), "/dev/tty", 8) == 0))
        target = "terminal";
    }
  }
  targets_[{pid, fd}] = target;
  return target;
}

Log Recorder::take(const std::vector<KernelEvent>& events, double start, KernelTrace& trace) {
  Log said;
  for (auto& [pid, lane] : lanes_) trace.follow(pid);  // those the looks found too
  std::vector<KernelEvent> all = std::exchange(early_, {});
  all.insert(all.end(), events.begin(), events.end());
  for (auto& event : all) take(event, event.at - start, trace, said);
  return said;
}

void Recorder::take(const KernelEvent& event, double at, KernelTrace& trace, Log& said) {
  int lane = lane_of(event.pid);
  if (event.call) {
    if (event.name == "semop" || event.name == "semtimedop" || event.name == "semctl" ||
        event.name == "semget")
      return semop(event, at, trace, said);
    if (event.name == "openat") return opened(event, at, trace, said);
    if (event.name == "exit_group") {
      if (!event.exit && !event.args.empty())
        ending_[event.pid] = "exit " + std::to_string(static_cast<int>(event.args[0]) & 0xff);
      return;
    }
    if (event.exit) {
      auto open = in_call_.find(event.pid);
      if (open == in_call_.end() || open->second.call != event.name) return;
      Event& call = record_.events[open->second.event];
      call.until = at;
      call.value = event.result < 0 ? -1 : static_cast<int>(event.result);
      if (event.result < 0)
        call.failed = strerrorname_np(static_cast<int>(-event.result)) ?: "error";
      if (event.name == "read" || event.name == "write")
        call.text = event.result < 0    ? call.failed
                    : event.result == 1 ? "1 byte"
                                        : std::to_string(event.result) + " bytes";
      in_call_.erase(open);
      if (call.call == "read" || call.call == "write")
        tell(
            at, call.lane,
            call.call + " " + call.text + (call.call == "read" ? " from " : " into ") + call.target,
            said);
      else
        tell(at, call.lane, call.call + " " + call.text + (call.failed.empty() ? "" : " failed"),
             said);
      return;
    }
    if (lane < 0) return;
    Event call{.at = at, .what = Happening::Call, .lane = lane, .call = event.name};
    if (event.name == "read" || event.name == "write") {
      call.target = target_of(event.pid, static_cast<int>(event.args.at(0)));
      if (call.target.empty()) return;
      call.text = "...";
    } else if (event.name == "kill" && event.args.size() >= 2) {
      call.text = signal_name(static_cast<int>(event.args[1])) + " to " +
                  std::to_string(static_cast<pid_t>(event.args[0]));
      call.amount = static_cast<long>(event.args[0]);
    } else if (event.name == "rt_sigreturn") {
      call.text = "rt_sigreturn";
      call.until = at;
      record_.events.push_back(std::move(call));
      return;
    } else {
      return;  // shmget, shmat, shmdt, mknodat: seen on the segment's and FIFOs' tracks
    }
    in_call_[event.pid] = {record_.events.size(), event.name};
    record_.events.push_back(std::move(call));
    return;
  }
  if (event.name == "sched_waking") {
    // A wake raised in an interrupt (a timer, a device) is the kernel's own.
    auto waker = in_call_.find(event.pid);
    auto wakee = in_call_.find(static_cast<pid_t>(event.field("pid")));
    if (event.interrupt || waker == in_call_.end() || wakee == in_call_.end() ||
        waker->second.call == "read" || waker->second.call == "write" ||
        wakee->second.call != "semop")
      return;
    if (std::find(waker->second.woke.begin(), waker->second.woke.end(), wakee->first) ==
        waker->second.woke.end())
      waker->second.woke.push_back(wakee->first);
    wakee->second.woken = true;
  } else if (event.name == "signal_generate") {
    pid_t to = static_cast<pid_t>(event.field("pid"));
    int target = lane_of(to);
    long result = event.field("res");
    if (target < 0 || (result != 0 && result != 2)) return;
    int sig = static_cast<int>(event.field("sig"));
    sent_[to] = {at, event.pid, sig, record_.events.size()};
    record_.events.push_back({.at = at,
                              .what = Happening::Signal,
                              .lane = target,
                              .text = signal_name(sig),
                              .value = sig});
    // Made by the kernel itself (SI_KERNEL): from the terminal, for its keys.
    bool by_kernel = event.field("code") == 0x80;
    bool key = sig == SIGINT || sig == SIGQUIT || sig == SIGTSTP;
    int sender = lane_of(event.pid);
    std::string from = by_kernel     ? (key ? "from the terminal" : "from the kernel")
                       : sender >= 0 ? "by " + who(sender)
                                     : "by process " + std::to_string(event.pid);
    tell(at, -1, signal_name(sig) + " sent to " + who(target) + " " + from, said);
  } else if (event.name == "signal_deliver" && lane >= 0) {
    int sig = static_cast<int>(event.field("sig"));
    pid_t by = 0;
    auto sent = sent_.find(event.pid);
    if (sent != sent_.end()) {
      // A signal that ends the process is delivered as SIGKILL: it is the one sent.
      if (sig == SIGKILL) sig = sent->second.signal;
      by = sent->second.by;
      record_.events[sent->second.event].blocked = at - sent->second.at > kHeld;
      sent_.erase(sent);
    }
    long handler = event.field("sa_handler");
    // Left to its default, a signal that ends the process is how it ends.
    bool fatal = handler == 0 && ends_by_default(sig);
    if (fatal) {
      ending_[event.pid] = signal_name(sig);
      // The call it broke off never returned to the program: it ends in it.
      for (auto call = record_.events.rbegin(); call != record_.events.rend(); ++call)
        if (call->what == Happening::Call && call->lane == lane) {
          if (call->failed == "EINTR" && at - call->until < kHeld)
            call->cut = true, call->failed.clear(), call->value = -1;
          break;
        }
    }
    record_.events.push_back({.at = at,
                              .what = Happening::Delivery,
                              .lane = lane,
                              .text = signal_name(sig),
                              .value = sig,
                              .peer = by == event.pid ? -1 : lane_of(by),
                              .caught = handler > 1});
    tell(at, -1,
         signal_name(sig) +
             (fatal          ? " ends "
              : handler > 1  ? " handled by "
              : handler == 1 ? " ignored by "
                             : " delivered to ") +
             who(lane),
         said);
  } else if (event.name == "sched_process_exit" && lane >= 0) {
    ended(event.pid, at, said);
  } else if (event.name == "sched_process_fork" &&
             lane_of(static_cast<pid_t>(event.field("pid"))) >= 0) {
    int parent = lane_of(static_cast<pid_t>(event.field("pid")));
    pid_t child = static_cast<pid_t>(event.field("child_pid"));
    if (child <= 0 || lane_of(child) >= 0) return;
    int index = static_cast<int>(record_.lanes.size());
    lanes_[child] = index;
    joined_[child] = at;
    record_.lanes.push_back(
        {record_.lanes[parent].label + "'s child", child, record_.lanes[parent].hue, parent});
    seen_.push_back({});
    trace.follow(child);
    record_.events.push_back({.at = at,
                              .what = Happening::Fork,
                              .lane = parent,
                              .text = "forks " + std::to_string(child),
                              .peer = index});
    tell(at, parent, "forks " + std::to_string(child), said);
  }
}

// semop, semtimedop, semctl and semget on the kit's set.
void Recorder::semop(const KernelEvent& event, double at, KernelTrace& trace, Log& said) {
  bool op = event.name == "semop" || event.name == "semtimedop";
  if (!event.exit) {
    // The set as last known, or the one there now: a removal is read once
    // it is gone.
    int semid = static_cast<int>(event.args.at(0));
    if (event.name != "semget" && semid != set_)
      if (int ours = semget(kSemaphoreKey, 0, 0); ours >= 0) set_ = ours;
    bool on_set = event.name == "semget" ? event.args.at(0) == static_cast<uint64_t>(kSemaphoreKey)
                                         : semid == set_;
    // A lane's namespace was checked when it joined; it may have ended since.
    std::string dir = "/proc/" + std::to_string(event.pid) + "/";
    if (!on_set || (lane_of(event.pid) < 0 && !kit::shares_our_objects(dir))) {
      // Gone already, it cannot be told from one in another namespace
      // whose set has the same ID: counted, not drawn.
      if (on_set && lane_of(event.pid) < 0 && access(dir.c_str(), F_OK) < 0 && !event.exit)
        unplaced_++;
      return;
    }
    join(event.pid, at, said, false);
    trace.follow(event.pid);
    Event call{.at = at,
               .what = Happening::Call,
               .lane = lane_of(event.pid),
               .call = op ? "semop" : event.name,
               .target = kit::semaphore_target(0)};
    if (op) {
      call.text = "?";
      if (event.args.at(2) != 1) call.text = std::to_string(event.args[2]) + " operations";
    } else if (event.name == "semget") {
      call.text = "key " + std::to_string(kSemaphoreKey);
    } else {
      int cmd = static_cast<int>(event.args.at(2) & 0xff);
      if (cmd != kSetval && cmd != kRemove) return;
      call.amount = static_cast<int>(event.args.at(3));
      call.text = cmd == kRemove ? "IPC_RMID" : "SETVAL " + std::to_string(call.amount);
      call.command = cmd == kRemove ? IPC_RMID : SETVAL;
      if (cmd == kSetval) value_ = static_cast<int>(call.amount);
      call.until = at;  // it does not wait; its return comes next
    }
    in_call_[event.pid] = {record_.events.size(), call.call};
    record_.events.push_back(std::move(call));
    return;
  }
  auto open = in_call_.find(event.pid);
  std::string name = op ? "semop" : event.name;
  if (open == in_call_.end() || open->second.call != name) return;
  InCall in = open->second;
  in_call_.erase(open);
  Event& call = record_.events[in.event];
  call.until = at;
  call.value = event.result < 0 ? -1 : static_cast<int>(event.result);
  if (event.result < 0) call.failed = strerrorname_np(static_cast<int>(-event.result)) ?: "error";
  if (name == "semget" && event.result >= 0) set_ = static_cast<int>(event.result);
  if (op && call.text == "?") {
    if (!in.woke.empty()) {
      call.amount = static_cast<long>(in.woke.size());  // one unit for each waiter it let through
    } else if (in.woken || (event.result < 0 && at - call.at > kHeld)) {
      call.amount = -1;  // a take that had to wait
    } else if (event.result == 0) {
      unsettled_.push_back(in.event);
      return;  // told once its change is known
    } else {
      call.text = "semop";
    }
    if (call.text == "?") call.text = kit::semaphore_change(call.amount);
  }
  std::string let;
  for (pid_t woken : in.woke)
    if (int lane = lane_of(woken); lane >= 0) let += (let.empty() ? "" : " and ") + who(lane);
  tell(at, call.lane,
       call.call + " " + call.text + (call.failed.empty() ? "" : " failed: " + call.failed) +
           (let.empty() ? "" : ", lets " + let + " through"),
       said);
}

void Recorder::finish(double at) {
  // A take still in its call this long after it asked is waiting.
  for (auto& [pid, in] : in_call_) {
    Event& call = record_.events[in.event];
    if (call.call == "semop" && call.text == "?" && at - call.at > kHeld)
      call.amount = -1, call.text = "-1";
  }
  // Gone, with no word from the kernel of how: ended, as the look saw.
  for (size_t lane = 0; lane < seen_.size(); lane++)
    if (seen_[lane].gone >= 0)
      record_.events.push_back({.at = seen_[lane].gone,
                                .what = Happening::End,
                                .lane = static_cast<int>(lane),
                                .text = "ended"});
}

bool Recorder::settled(KernelTrace& trace, double start, Log* said) {
  if (unsettled_.empty()) return true;
  int id = semget(kSemaphoreKey, 0, 0);
  int value = id < 0 ? -1 : semctl(id, 0, GETVAL);
  double sampled = monotonic() - start;
  // A call on the set that entered before the value was read may have
  // changed it too: read it again once that call is taken in.
  early_ = trace.take();
  for (auto& event : early_)
    if (event.call && !event.exit && event.at - start <= sampled &&
        (event.name == "semop" || event.name == "semtimedop" || event.name == "semctl"))
      return false;
  if (value < 0) return false;
  long delta = value - value_, count = static_cast<long>(unsettled_.size());
  std::sort(unsettled_.begin(), unsettled_.end(),
            [&](size_t a, size_t b) { return record_.events[a].at < record_.events[b].at; });
  // Several since the last reading, of a unit each: as many raises and takes
  // as make the change, in the one order where no take finds the value at
  // 0 (it would have waited), takes first where either order would do.
  bool units = count > 1 && std::abs(delta) <= count && (count - std::abs(delta)) % 2 == 0;
  long raises = (count + delta) / 2, takes = count - raises, now = value_;
  for (size_t index : unsettled_) {
    Event& call = record_.events[index];
    if (count == 1) {
      call.amount = delta;
    } else if (units) {
      bool take = takes > 0 && (now > 0 || raises == 0);
      call.amount = take ? -1 : 1;
      (take ? takes : raises)--;
      now += call.amount;
    } else {
      call.amount = 0;
    }
    call.text = call.amount == 0 ? "semop" : kit::semaphore_change(call.amount);
    if (said) tell(call.until, call.lane, "semop " + call.text, *said);
  }
  unsettled_.clear();
  value_ = value;
  return true;
}

// An open of one of the kit's FIFOs makes its opener a lane, from the moment
// it asked: a FIFO's open may wait for the other end.
void Recorder::opened(const KernelEvent& event, double at, KernelTrace& trace, Log& said) {
  if (!event.exit) {
    // An open of a path, not a look at one, makes an end of a FIFO.
    if (event.args.size() >= 3 && !(event.args[2] & O_PATH))
      opening_[event.pid] = {at, event.args[2], event.args[1]};
    return;
  }
  // An open entered before its process was followed: from when it joined.
  auto open = opening_.find(event.pid);
  if (open == opening_.end()) {
    auto joined = joined_.find(event.pid);
    if (joined == joined_.end()) return;
    open = opening_.insert({event.pid, {joined->second, kUnknown, 0}}).first;
  }
  auto [asked, flags, name] = open->second;
  opening_.erase(open);
  if (event.result < 0) return;
  int fd = static_cast<int>(event.result);
  targets_.erase({event.pid, fd});
  std::string target = target_of(event.pid, fd);
  // Closed again already: which file it was is the name it asked for, a
  // kit FIFO's when it asked from our folder.
  if (target.empty() && errno == ENOENT)
    targets_[{event.pid, fd}] = target = asked_for(event.pid, name);
  if (target.empty() || target == "terminal") return;
  join(event.pid, asked, said, false);
  trace.follow(event.pid);
  if (flags == kUnknown) flags = flags_of(event.pid, fd);
  int mode = static_cast<int>(flags) & O_ACCMODE;
  record_.events.push_back({.at = asked,
                            .what = Happening::Call,
                            .lane = lane_of(event.pid),
                            .text = target + (mode == O_WRONLY ? " for writing"
                                              : mode == O_RDWR ? " both ways"
                                                               : " for reading"),
                            .call = "open",
                            .target = target,
                            .value = fd,
                            .until = at,
                            .mode = mode});
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
