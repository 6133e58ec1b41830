#include "look.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "process.h"
#include "standard_streams.h"
#include "visible.h"

namespace look {
namespace {

constexpr size_t kBytesShown = 20;
// Seconds between the walks that no change asked for: they catch what no
// event reports, such as a process that starts blocking in an open.
constexpr time_t kSlowWalk = 20;
// Where the kernel's events report the opens and the calls on the set, such
// a walk only catches the rare rest, such as a descriptor passed over a
// socket: it comes seldom, as a walk of many processes costs.
constexpr time_t kSlowWalkTold = 60;
// After a process starts, the time it has to reach a FIFO's open before the
// holders are looked for, and the least time between two such looks.
constexpr auto kStartSettles = std::chrono::milliseconds(300);
constexpr auto kStartWalksApart = std::chrono::seconds(2);

bool vanished() { return errno == EINVAL || errno == EIDRM; }

std::string not_open() {
  return std::string("present, but not open to you (") + strerror(errno) + ")";
}

// A system call in progress, as /proc/PID/syscall shows it; number -1
// when none can be seen.
struct Call {
  long number = -1;
  std::array<unsigned long, 6> args{};
};

// `dir` is a process's folder under /proc, opened: looking up names below
// it costs a fraction of whole paths, which matters across many processes.
FILE* open_in(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "r");
  if (!file) close(fd);
  return file;
}

Call call_of(int dir) {
  FILE* file = open_in(dir, "syscall");
  if (!file) return {};
  Call call;
  auto& a = call.args;
  int got = fscanf(file, "%ld %lx %lx %lx %lx %lx %lx", &call.number, &a[0], &a[1], &a[2], &a[3],
                   &a[4], &a[5]);
  fclose(file);
  if (got != 7) return {};  // running, or a call with no arguments shown
  return call;
}

// Bytes of another process's memory: how many could be read.
ssize_t peek_some(int dir, unsigned long address, void* into, size_t size) {
  int mem = openat(dir, "mem", O_RDONLY | O_CLOEXEC);
  if (mem < 0) return -1;
  ssize_t got = pread(mem, into, size, static_cast<off_t>(address));
  close(mem);
  return got;
}

bool peek(int dir, unsigned long address, void* into, size_t size) {
  return peek_some(dir, address, into, size) == static_cast<ssize_t>(size);
}

// What a process blocked in semop waits for, from the operation it passed.
std::string semop_wish(int dir, const Call& call, const Semaphore& set) {
  sembuf operation{};
  if (peek(dir, call.args[1], &operation, sizeof operation)) {
    // In a set of several, which one: the counts shown are semaphore 0's.
    std::string which = set.count > 1 ? " on semaphore " + std::to_string(operation.sem_num) : "";
    if (operation.sem_op == 0) return "for zero" + which;
    if (operation.sem_op == -1) return "to take a unit" + which;
    return "to take " + std::to_string(-operation.sem_op) + " units" + which;
  }
  if (set.count > 1) return "(on which semaphore, not to be seen)";
  if (set.zero == 0) return "to take a unit";
  if (set.rising == 0) return "for zero";
  return "(what for, not to be seen)";
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

void count_blind(Blind& blind) {
  if (errno == ENOENT || errno == ESRCH) return;  // ended meanwhile
  if (errno == EACCES || errno == EPERM) {
    blind.denied++;
  } else {
    blind.failed++;
    blind.failure = errno;
  }
}

// A directory below `dir` ("/proc" below AT_FDCWD, "fd" below a process's
// folder), opened for reading its entries; none, counted as not seen,
// where it cannot be.
DIR* open_dir(int dir, const char* name, Blind& blind) {
  int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = fd < 0 ? nullptr : fdopendir(fd);
  if (!entries) {
    count_blind(blind);
    if (fd >= 0) close(fd);
  }
  return entries;
}

void read_semaphore(Semaphore& set) {
  int id = semget(kSemaphoreKey, 0, 0);
  semid_ds info{};
  int value = -1, rising = -1, zero = -1, last = -1;
  bool seen = id >= 0 && semctl(id, 0, IPC_STAT, &info) >= 0 &&
              (value = semctl(id, 0, GETVAL)) >= 0 && (rising = semctl(id, 0, GETNCNT)) >= 0 &&
              (zero = semctl(id, 0, GETZCNT)) >= 0 && (last = semctl(id, 0, GETPID)) >= 0;
  int why = errno;  // before anything else may touch it
  std::vector<Who> waiters = std::move(set.waiters);
  set = Semaphore{};
  if (!seen) {
    errno = why;
    set.present = !(errno == ENOENT || vanished());
    if (set.present) set.unseen = not_open();
    return;
  }
  set = {true,
         "",
         id,
         value,
         rising,
         zero,
         static_cast<int>(info.sem_nsems),
         0,
         last,
         info.sem_otime,
         info.sem_ctime,
         info.sem_perm.uid,
         static_cast<mode_t>(info.sem_perm.mode & 0777),
         std::move(waiters)};
  // A set made outside the kit may hold many: who waits on any of them.
  set.all_waiting = rising + zero;
  for (int n = 1; n < set.count; n++)
    set.all_waiting += std::max(0, semctl(id, n, GETNCNT)) + std::max(0, semctl(id, n, GETZCNT));
}

void read_segment(Segment& segment) {
  int id = shmget(kSegmentKey, 0, 0);
  shmid_ds info{};
  bool seen = id >= 0 && shmctl(id, IPC_STAT, &info) >= 0;
  int why = errno;
  std::vector<Who> attached = std::move(segment.attached);
  segment = Segment{};
  if (!seen) {
    errno = why;
    segment.present = !(errno == ENOENT || vanished());
    if (segment.present) segment.unseen = not_open();
    return;
  }
  segment.present = true;
  segment.id = id;
  segment.size = info.shm_segsz;
  segment.mode = info.shm_perm.mode & 0777;
  segment.attaches = static_cast<int>(info.shm_nattch);
  segment.creator = info.shm_cpid;
  segment.last = info.shm_lpid;
  segment.attached = std::move(attached);
}

}  // namespace

std::string name_of(pid_t pid) {
  if (pid <= 0) return "none";
  std::string name = std::to_string(pid);
  FILE* comm = fopen(("/proc/" + name + "/comm").c_str(), "re");
  if (!comm) {
    int error = errno;
    // Not in /proc, yet there: another user's, hidden from us (hidepid).
    if (error == ENOENT && (kill(pid, 0) == 0 || errno == EPERM))
      return name + " (hidden from you)";
    return name + (error == ENOENT ? " (ended)" : std::string(" (") + strerror(error) + ")");
  }
  std::array<char, 64> command{};
  bool read = fgets(command.data(), command.size(), comm) != nullptr;
  fclose(comm);
  if (!read) return name + " (ended)";
  command[strcspn(command.data(), "\n")] = '\0';
  // Any process may name itself so: never let its name reach a terminal raw.
  return name + " (" + kit::visible(command.data()) + ")";
}

Watcher::Watcher(bool live, Parts parts) : parts_(parts) {
  std::array<char, 4096> cwd{};
  cwd_ = getcwd(cwd.data(), cwd.size()) ? cwd.data() : ".";
  for (int i = 0; i < 2; i++) world_.fifos[i].name = kFifoNames[i];
  if (!live || !parts.fifo) return;
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0) return;
  // Named pipes made, removed or renamed in the working directory.
  inotify_add_watch(inotify_, ".",
                    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR);
  watch_fifos();
}

Watcher::~Watcher() {
  if (inotify_ >= 0) close(inotify_);
}

// Opens and closes of each named pipe, and changes to its mode.
void Watcher::watch_fifos() {
  for (int i = 0; i < 2; i++) {
    if (watched_[i] >= 0) inotify_rm_watch(inotify_, watched_[i]);
    watched_[i] = inotify_add_watch(inotify_, kFifoNames[i], IN_OPEN | IN_CLOSE | IN_ATTRIB);
  }
}

// Drains the events; true when one concerned the named pipes.
bool Watcher::fifo_events() {
  if (inotify_ < 0) return false;
  alignas(inotify_event) std::array<char, 4096> buffer;
  bool any = false, renamed = false;
  ssize_t got;
  while ((got = read(inotify_, buffer.data(), buffer.size())) > 0) {
    for (ssize_t at = 0; at < got;) {
      auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
      bool ours = event->len == 0 || strcmp(event->name, kFifoNames[0]) == 0 ||
                  strcmp(event->name, kFifoNames[1]) == 0;
      any = any || ours || event->mask & IN_Q_OVERFLOW;
      renamed = renamed || (event->len > 0 && ours);
      at += sizeof(inotify_event) + event->len;
    }
  }
  if (renamed) watch_fifos();
  return any;
}

// What a FIFO's holder is doing with it, from the call it is in.
std::string holder_doing(const Call& call, int fd) {
  if (call.number == SYS_openat && fd < 0) return "blocked in open";
  if (call.number >= 0 && static_cast<int>(call.args[0]) == fd) {
    if (call.number == SYS_read) return "blocked in read";
    if (call.number == SYS_write) return "blocked in write";
  }
  return "holding";
}

Call call_now(pid_t pid) {
  int dir = open(("/proc/" + std::to_string(pid)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return {};
  Call call = call_of(dir);
  close(dir);
  return call;
}

bool Watcher::listed_gone() const {
  auto gone = [](const std::vector<Who>& listed) {
    for (auto& who : listed)
      if (!alive(who.pid)) return true;
    return false;
  };
  if (gone(world_.semaphore.waiters) || gone(world_.segment.attached)) return true;
  for (auto& fifo : world_.fifos)
    for (auto* holders : {&fifo.readers, &fifo.writers})
      for (auto& who : *holders)
        if (!alive(who.pid) || holder_doing(call_now(who.pid), who.fd) != who.doing) return true;
  return false;
}

namespace {

// A look opens up to five files at once (/proc, a process's folder, its fd
// folder, one of its files, another's name); with fewer descriptors to spare
// it misses what it cannot open.
constexpr int kDescriptorsALookNeeds = 5;

std::string short_of_descriptors() {
  if (kit::descriptors_to_spare(kDescriptorsALookNeeds)) return "";
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  return "no file descriptor left to look at the processes with (the limit is " +
         std::to_string(limit.rlim_cur) + "; raise it with ulimit -n)";
}

// /proc mounted with hidepid shows an ordinary user only their own processes.
std::string hidden_by_proc() {
  if (geteuid() == 0) return "";
  FILE* mounts = fopen("/proc/self/mountinfo", "re");
  if (!mounts) return "";
  std::array<char, 1024> line;
  bool hidden = false;
  while (!hidden && fgets(line.data(), line.size(), mounts))
    hidden = strstr(line.data(), " /proc ") && strstr(line.data(), " - proc ") &&
             (strstr(line.data(), "hidepid=2") || strstr(line.data(), "hidepid=invisible") ||
              strstr(line.data(), "hidepid=1") || strstr(line.data(), "hidepid=noaccess"));
  fclose(mounts);
  return hidden ? "other users' processes are hidden from you (/proc is mounted with hidepid)" : "";
}

}  // namespace

const World& Watcher::look() {
  world_.short_of = short_of_descriptors();
  if (world_.short_of.empty()) world_.short_of = hidden_by_proc();
  read_semaphore(world_.semaphore);
  read_segment(world_.segment);
  bool fifos_changed = fifo_events();
  std::array<struct stat, 2> fifo_files{};
  for (int i = 0; i < 2; i++) {
    Fifo& fifo = world_.fifos[i];
    bool was = fifo.is_fifo;
    fifo.present = lstat(fifo.name.c_str(), &fifo_files[i]) == 0;
    // A symlink is followed, as the programs' opens follow it.
    fifo.link.clear();
    if (fifo.present && S_ISLNK(fifo_files[i].st_mode)) {
      std::array<char, 4096> target{};
      if (readlink(fifo.name.c_str(), target.data(), target.size() - 1) > 0)
        fifo.link = target.data();
      if (stat(fifo.name.c_str(), &fifo_files[i]) < 0) fifo_files[i].st_mode = S_IFLNK;
    }
    fifo.is_fifo = fifo.present && S_ISFIFO(fifo_files[i].st_mode);
    fifo.mode = fifo.present ? fifo_files[i].st_mode & 0777 : 0;
    fifos_changed = fifos_changed || was != fifo.is_fifo;
  }

  const Semaphore& set = world_.semaphore;
  const Segment& segment = world_.segment;
  bool set_changed = set.id != seen_set_ || set.rising != seen_rising_ || set.zero != seen_zero_ ||
                     set.all_waiting != seen_all_waiting_;
  bool segment_changed = segment.id != seen_seg_ || segment.attaches != seen_attaches_;
  bool gone = listed_gone();
  bool slow = last_walk_ == 0 || time(nullptr) - last_walk_ >= (told_ ? kSlowWalkTold : kSlowWalk);
  bool started = told_ ? std::exchange(fifo_opened_, false) : started_soon();
  set_changed = set_changed && !told_;
  if (slow) {
    periodic_++;
    walk(true, true, true);
  } else if (set_changed || segment_changed || fifos_changed || gone || started) {
    walk(set_changed || gone, segment_changed || gone, fifos_changed || gone || started);
  }
  seen_set_ = set.id, seen_rising_ = set.rising, seen_zero_ = set.zero;
  seen_all_waiting_ = set.all_waiting;
  seen_seg_ = segment.id, seen_attaches_ = segment.attaches;

  // The segment's bytes, through one that has it attached: never by
  // attaching it, which the kernel would record as its last attach.
  Segment& shown = world_.segment;
  if (shown.present && shown.unseen.empty() && !shown.attached.empty()) {
    std::vector<pid_t> holders;
    for (auto& who : shown.attached) holders.push_back(who.pid);
    shown.bytes =
        kit::peek_segment(kSegmentKey, shown.id, std::min(shown.size, kBytesShown), holders, false);
  }
  return world_;
}

// A blocked open of a FIFO that exists raises no event; a process started
// since the last look may be one. The kernel's last process ID (the last
// field of /proc/loadavg) tells, at the cost of one small read: a start is
// followed by one walk of the FIFOs' holders a moment later, when it has had
// time to reach its open, and such walks come at most every few seconds.
bool Watcher::started_soon() {
  if (!parts_.fifo || (!world_.fifos[0].is_fifo && !world_.fifos[1].is_fifo)) return false;
  long last = -1;
  if (FILE* load = fopen("/proc/loadavg", "re")) {
    if (fscanf(load, "%*s %*s %*s %*s %ld", &last) != 1) last = -1;
    fclose(load);
  }
  auto now = std::chrono::steady_clock::now();
  if (last != last_pid_ && last_pid_ >= 0 && !start_walk_due_)
    start_walk_due_ = std::max(now + kStartSettles, last_start_walk_ + kStartWalksApart);
  last_pid_ = last;
  if (!start_walk_due_ || now < *start_walk_due_) return false;
  start_walk_due_.reset();
  last_start_walk_ = now;
  return true;
}

void Watcher::walk(bool semaphore, bool segment, bool fifos) {
  semaphore = semaphore && parts_.sem;
  segment = segment && parts_.shm;
  fifos = fifos && parts_.fifo;
  walks_++;
  last_walk_ = time(nullptr);
  Semaphore& set = world_.semaphore;
  Segment& seg = world_.segment;
  semaphore = semaphore && set.present && set.unseen.empty();
  segment = segment && seg.present && seg.unseen.empty();
  if (semaphore || !set.present) set.waiters.clear();
  if (segment || !seg.present) seg.attached.clear();
  struct stat fifo_files[2];
  bool looked_for[2];
  for (int i = 0; i < 2; i++) {
    Fifo& fifo = world_.fifos[i];
    looked_for[i] = fifos && fifo.is_fifo && stat(fifo.name.c_str(), &fifo_files[i]) == 0;
    if (fifos || !fifo.is_fifo) fifo.readers.clear(), fifo.writers.clear();
  }
  fifos = looked_for[0] || looked_for[1];
  if (!semaphore && !segment && !fifos) return;
  if (fifos) world_.blind = Blind{};

  std::array<char, 32> wanted_map;
  snprintf(wanted_map.data(), wanted_map.size(), "/SYSV%08x", static_cast<unsigned>(kSegmentKey));
  // Only the looks that can find something: a waiter needs a process
  // waiting, a holder a named pipe.
  bool waiters = semaphore && set.all_waiting > 0;
  DIR* proc = open_dir(AT_FDCWD, "/proc", world_.blind);
  if (!proc) return;
  int proc_fd = dirfd(proc);
  while (dirent* entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    int dir = openat(proc_fd, entry->d_name, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
      count_blind(world_.blind);
      continue;
    }
    look_at(pid, dir, waiters, segment, fifos, wanted_map.data(), looked_for, fifo_files);
    close(dir);
  }
  closedir(proc);
}

// One process of a walk, through its folder `dir` under /proc.
void Watcher::look_at(pid_t pid, int dir, bool waiters, bool segment, bool fifos,
                      const char* wanted_map, const bool looked_for[2],
                      const struct stat fifo_files[2]) {
  Semaphore& set = world_.semaphore;
  Segment& seg = world_.segment;
  auto ours = [&] { return kit::shares_our_objects("/proc/" + std::to_string(pid) + "/"); };
  Call call = waiters || fifos ? call_of(dir) : Call{};

  if (waiters && (call.number == SYS_semop || call.number == SYS_semtimedop) &&
      static_cast<int>(call.args[0]) == set.id && ours())
    set.waiters.push_back({pid, name_of(pid), semop_wish(dir, call, set)});

  if (segment) {
    if (FILE* maps = open_in(dir, "maps")) {
      std::array<char, 512> line;
      while (fgets(line.data(), line.size(), maps)) {
        unsigned long inode;
        std::array<char, 256> path{};
        if (sscanf(line.data(), "%*s %*s %*s %*s %lu %255s", &inode, path.data()) == 2 &&
            inode == static_cast<unsigned long>(seg.id) && strcmp(path.data(), wanted_map) == 0 &&
            ours()) {
          seg.attached.push_back({pid, name_of(pid), ""});
          break;
        }
      }
      fclose(maps);
    }
  }

  if (!fifos) return;
  DIR* fds = open_dir(dir, "fd", world_.blind);
  if (!fds) return;
  int fd_dir = dirfd(fds);
  while (dirent* fd = readdir(fds)) {
    struct stat file;
    if (fd->d_name[0] == '.' || fstatat(fd_dir, fd->d_name, &file, 0) < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (!looked_for[i] || !same_file(file, fifo_files[i])) continue;
      int flags = -1;
      if (FILE* info = open_in(dir, ("fdinfo/" + std::string(fd->d_name)).c_str())) {
        std::array<char, 128> field;
        while (fgets(field.data(), field.size(), info))
          if (sscanf(field.data(), "flags: %o", &flags) == 1) break;
        fclose(info);
      }
      if (flags < 0) {
        count_blind(world_.blind);
        continue;
      }
      int number = atoi(fd->d_name);
      Who who{pid, name_of(pid), holder_doing(call, number), number};
      if ((flags & O_ACCMODE) != O_WRONLY) world_.fifos[i].readers.push_back(who);
      if ((flags & O_ACCMODE) != O_RDONLY) world_.fifos[i].writers.push_back(who);
    }
  }
  closedir(fds);

  // Blocked in an open: no descriptor yet, only the path it passed.
  if (call.number != SYS_openat) return;
  std::array<char, 4096> path{};
  if (peek_some(dir, call.args[1], path.data(), path.size() - 1) <= 0) return;
  std::string opened = path.data();
  // Resolved through the process's own root and folder: in another mount
  // namespace the same path may name another file.
  std::string seen_as = opened.starts_with('/') ? "root" + opened : "cwd/" + opened;
  struct stat file;
  if (fstatat(dir, seen_as.c_str(), &file, 0) < 0) {
    if (errno == EACCES || errno == EPERM) count_blind(world_.blind);
    return;
  }
  for (int i = 0; i < 2; i++) {
    if (!looked_for[i] || !same_file(file, fifo_files[i])) continue;
    Who who{pid, name_of(pid), "blocked in open"};
    bool writes = (call.args[2] & O_ACCMODE) == O_WRONLY;
    (writes ? world_.fifos[i].writers : world_.fifos[i].readers).push_back(who);
  }
}

}  // namespace look
