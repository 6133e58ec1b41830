#include "kernel_trace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace look {
namespace {

constexpr const char* kDefault = "/sys/kernel/tracing";
constexpr const char* kBufferKb = "1024";  // per processor: a burst of calls fits
constexpr int kChunksAtOnce = 4;           // of 64 KiB, read by one take()
constexpr time_t kYoung = 5;               // seconds an instance may be unopened when made

// The calls on the kit's objects, rare on any machine: of any process but ours.
constexpr std::array kCalls = {"semop", "semtimedop", "semctl",  "semget", "shmget",
                               "shmat", "shmdt",      "mknodat", "kill"};
// The calls that every process makes all the time: only the followed ones'.
constexpr std::array kBusyCalls = {"openat", "read", "write", "rt_sigreturn", "exit_group"};
// The other events, each with the field that names the process it is about,
// followed only.
constexpr std::array<std::array<const char*, 2>, 6> kEvents = {{
    {"sched/sched_waking", "pid"},
    {"signal/signal_generate", "pid"},
    {"signal/signal_deliver", "common_pid"},
    {"sched/sched_process_fork", "parent_pid"},
    {"sched/sched_process_exec", "pid"},
    {"sched/sched_process_exit", "pid"},
}};

bool put(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  bool done = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return done;
}

// Where tracefs is mounted, from our mount table; "" where it is not.
std::string mounted_at() {
  FILE* mounts = fopen("/proc/self/mounts", "re");
  if (!mounts) return "";
  std::array<char, 4096> line;
  std::string found;
  while (found.empty() && fgets(line.data(), line.size(), mounts)) {
    std::array<char, 1024> where, type;
    if (sscanf(line.data(), "%*s %1023s %1023s", where.data(), type.data()) == 2 &&
        strcmp(type.data(), "tracefs") == 0)
      found = where.data();
  }
  fclose(mounts);
  return found;
}

// Our PID namespace, as its inode: a recorder's number means something only
// in its own, and two recorders in two namespaces may have the same.
std::string pid_namespace() {
  struct stat ours {};
  return stat("/proc/self/ns/pid", &ours) == 0 ? std::to_string(ours.st_ino) : "0";
}

// An instance of ours whose recorder is gone, killed before it could clean
// up: "ipcwatch-PID-NAMESPACE". One of another namespace may only be taken
// for left over, never known to be.
bool orphaned(const std::string& name) {
  if (!name.starts_with(KernelTrace::kPrefix)) return false;
  char* rest = nullptr;
  pid_t pid = static_cast<pid_t>(strtol(name.c_str() + strlen(KernelTrace::kPrefix), &rest, 10));
  if (pid <= 0) return false;
  if (*rest != '-' || pid_namespace() != rest + 1) return true;
  if (kill(pid, 0) < 0 && errno == ESRCH) return true;
  std::array<char, 64> comm{};
  FILE* file = fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "re");
  if (!file) return false;
  bool ours = fgets(comm.data(), comm.size(), file) && strncmp(comm.data(), "ipcwatch", 8) == 0;
  fclose(file);
  return !ours;  // its number taken by another program since
}

void remove_instance(const std::string& dir) {
  put(dir + "/events/enable", "0");
  rmdir(dir.c_str());
}

// Another recorder's instance, seemingly left over, is only ever removed,
// never written into: the kernel refuses (EBUSY) while its recorder holds
// it open, wherever that recorder runs, even in a namespace where its
// number means nothing.
void remove_leftover(const std::string& dir) {
  // Not one just made, whose recorder may not have opened it yet.
  struct stat made {};
  if (stat(dir.c_str(), &made) == 0 && time(nullptr) - made.st_ctime > kYoung) rmdir(dir.c_str());
}

// "semid: 0, tsops: 0x7ffc, nsops: 1": the values, in order.
std::vector<uint64_t> arguments(std::string_view list) {
  std::vector<uint64_t> values;
  for (size_t at = 0; (at = list.find(": ", at)) != std::string_view::npos; at += 2)
    values.push_back(strtoull(std::string(list.substr(at + 2, 24)).c_str(), nullptr, 0));
  return values;
}

// "  gatepost-3360    [000] d.h2. 10642.536345: sys_semop(semid: 0, ...)"
bool parse(std::string_view line, KernelEvent& event) {
  size_t open = 0;
  for (;;) {
    open = line.find('[', open);
    if (open == std::string_view::npos) return false;
    size_t close = line.find(']', open);
    bool cpu = close != std::string_view::npos && close > open + 1 &&
               line.substr(open + 1, close - open - 1).find_first_not_of("0123456789") ==
                   std::string_view::npos;
    if (cpu) break;
    open++;
  }
  std::string_view task = line.substr(0, open);
  while (!task.empty() && task.back() == ' ') task.remove_suffix(1);
  size_t dash = task.rfind('-');
  if (dash == std::string_view::npos) return false;
  event.pid = atoi(std::string(task.substr(dash + 1)).c_str());
  size_t flags = line.find("] ", open);
  if (flags == std::string_view::npos) return false;
  flags += 2;
  size_t stamp = line.find(' ', flags);
  if (stamp == std::string_view::npos) return false;
  std::string_view marks = line.substr(flags, stamp - flags);
  event.interrupt = marks.size() >= 3 && (marks[2] == 'h' || marks[2] == 's' || marks[2] == 'H');
  size_t colon = line.find(": ", stamp);
  if (colon == std::string_view::npos) return false;
  event.at = strtod(std::string(line.substr(stamp + 1, colon - stamp - 1)).c_str(), nullptr);
  std::string_view what = line.substr(colon + 2);
  if (what.starts_with("sys_")) {
    what.remove_prefix(4);
    size_t arrow = what.find(" -> "), paren = what.find('(');
    event.call = true;
    if (arrow != std::string_view::npos && (paren == std::string_view::npos || arrow < paren)) {
      event.exit = true;
      event.name = what.substr(0, arrow);
      event.result =
          static_cast<int64_t>(strtoull(std::string(what.substr(arrow + 4)).c_str(), nullptr, 0));
    } else if (paren != std::string_view::npos) {
      event.name = what.substr(0, paren);
      event.args = arguments(what.substr(paren));
    } else {
      return false;
    }
    return true;
  }
  size_t end = what.find(": ");
  if (end == std::string_view::npos) return false;
  event.name = what.substr(0, end);
  event.fields = what.substr(end + 2);
  return true;
}

}  // namespace

long KernelEvent::field(std::string_view key) const {
  for (size_t at = 0; (at = fields.find(key, at)) != std::string::npos; at++) {
    bool starts = at == 0 || fields[at - 1] == ' ';
    if (starts && fields.compare(at + key.size(), 1, "=") == 0)
      return strtol(fields.c_str() + at + key.size() + 1, nullptr, 0);
  }
  return -1;
}

std::unique_ptr<KernelTrace> KernelTrace::start(std::string& why) {
  std::unique_ptr<KernelTrace> trace(new KernelTrace);
  trace->root_ = mounted_at();
  if (trace->root_.empty()) {
    if (mount("nodev", kDefault, "tracefs", 0, nullptr) < 0) {
      why =
          std::string("the kernel's tracing file system could not be mounted: ") + strerror(errno);
      return nullptr;
    }
    trace->root_ = kDefault;
    trace->mounted_ = true;
  }
  std::string instances = trace->root_ + "/instances";
  if (DIR* dir = opendir(instances.c_str())) {
    while (dirent* entry = readdir(dir))
      if (orphaned(entry->d_name)) remove_leftover(instances + "/" + entry->d_name);
    closedir(dir);
  }
  trace->instance_ = instances + "/" + kPrefix + std::to_string(getpid()) + "-" + pid_namespace();
  if (mkdir(trace->instance_.c_str(), 0700) < 0) {
    why = std::string("the kernel's tracing is not open to this user: ") + strerror(errno);
    trace->instance_.clear();
    return nullptr;
  }
  // Held open at once, so that no other recorder can remove it.
  trace->pipe_ =
      open((trace->instance_ + "/trace_pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (!trace->enable(why)) return nullptr;
  return trace;
}

bool KernelTrace::enable(std::string& why) {
  const std::string events = instance_ + "/events/";
  // Not ours, nor another ipcwatch's: each looks at the set, and two
  // recorders would otherwise answer each other's looks without end.
  const std::string others =
      "common_pid != " + std::to_string(getpid()) + " && comm != \"ipcwatch\"";
  // Read as soon as anything is there, not once the buffer fills.
  bool ok = put(instance_ + "/trace_clock", "mono") &&
            put(instance_ + "/buffer_size_kb", kBufferKb) &&
            put(instance_ + "/buffer_percent", "0");
  for (const char* call : kCalls)
    for (const char* side : {"sys_enter_", "sys_exit_"}) {
      std::string dir = events + "syscalls/" + side + call;
      ok = ok && put(dir + "/filter", others) && put(dir + "/enable", "1");
    }
  filter_followed();
  for (const char* call : kBusyCalls)
    for (const char* side : {"sys_enter_", "sys_exit_"})
      ok = ok && put(events + "syscalls/" + side + call + "/enable", "1");
  for (auto& [event, field] : kEvents) ok = ok && put(events + event + "/enable", "1");
  if (!ok || pipe_ < 0) {
    why = std::string("the kernel's tracepoints could not be set up: ") + strerror(errno);
    return false;
  }
  return true;
}

KernelTrace::~KernelTrace() {
  if (pipe_ >= 0) close(pipe_);
  if (!instance_.empty()) remove_instance(instance_);
  if (mounted_) umount(root_.c_str());
}

// Only the followed processes' busy calls, and the events about them.
void KernelTrace::filter_followed() {
  auto about = [&](const std::string& field) {
    std::string filter;
    for (pid_t pid : followed_)
      filter += (filter.empty() ? "" : " || ") + field + " == " + std::to_string(pid);
    return filter.empty() ? field + " == -1" : filter;
  };
  const std::string events = instance_ + "/events/";
  std::string pids = about("common_pid");
  for (const char* call : kBusyCalls)
    for (const char* side : {"sys_enter_", "sys_exit_"})
      put(events + "syscalls/" + side + call + "/filter", pids);
  for (auto& [event, field] : kEvents) put(events + event + "/filter", about(field));
}

void KernelTrace::follow(pid_t pid) {
  if (followed_.insert(pid).second) filter_followed();
}

std::vector<KernelEvent> KernelTrace::take() {
  std::vector<KernelEvent> taken;
  std::array<char, 65536> chunk;
  // A bounded helping: semaphores hammered in other namespaces can feed the
  // pipe faster than it is read, and the recording must still end when told.
  for (int chunks = 0; chunks < kChunksAtOnce; chunks++) {
    ssize_t got = read(pipe_, chunk.data(), chunk.size());
    if (got <= 0) break;
    partial_.append(chunk.data(), got);
  }
  size_t begin = 0;
  for (size_t end; (end = partial_.find('\n', begin)) != std::string::npos; begin = end + 1) {
    std::string_view line = std::string_view(partial_).substr(begin, end - begin);
    KernelEvent event;
    if (size_t lost = line.find("[LOST "); lost != std::string_view::npos)
      lost_ += atol(std::string(line.substr(lost + 6, 20)).c_str());
    else if (parse(line, event))
      taken.push_back(std::move(event));
  }
  partial_.erase(0, begin);
  return taken;
}

}  // namespace look
