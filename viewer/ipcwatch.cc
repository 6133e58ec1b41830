// ipcwatch: a live view of the kit's kernel objects, to keep open in a
// terminal beside the demonstrations. It shows the semaphore set under key
// 1234 (value, who waits, who operated last), the segment under key 10 (its
// bytes, the answer flag) and the named pipes "srvfifo" and "clififo" in the
// working directory (who has each open, for reading and for writing).
//
//   ipcwatch                   redraw on a terminal until Ctrl-C
//   ipcwatch --once [PART...]  print one snapshot (also when not a terminal);
//                              PART is sem, shm or fifo
//
// It only reads, and leaves no trace: the segment's bytes are read through
// the memory of a process that has it attached, never by attaching it, which
// the kernel would record as the segment's last attach.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process.h"

namespace {

constexpr key_t kSemaphoreKey = 1234;
constexpr key_t kSegmentKey = 10;
constexpr const char* kFifos[] = {"srvfifo", "clififo"};
constexpr size_t kBytesShown = 20;
constexpr int kLookMs = 50;         // a change shows within this
constexpr int kRedrawMs = 250;      // the clock and the times move this often
constexpr int kHighlightMs = 2000;  // how long a change stays marked

// A piece of a line; pieces with a key are values, marked when they change.
struct Piece {
  std::string key, text;
};
using Line = std::vector<Piece>;

Line line(std::initializer_list<Piece> pieces) { return Line(pieces); }
Piece text(std::string s) { return {"", std::move(s)}; }

std::string format(const char* fmt, auto... args) {
  std::array<char, 256> buffer;
  snprintf(buffer.data(), buffer.size(), fmt, args...);
  return buffer.data();
}

// An object that went away between two calls about it is simply absent.
bool vanished() { return errno == EINVAL || errno == EIDRM; }

std::string command_of(pid_t pid) {
  if (pid <= 0) return "none";
  std::string name = std::to_string(pid);
  FILE* comm = fopen(("/proc/" + name + "/comm").c_str(), "re");
  if (!comm) return name + (errno == ENOENT ? " (ended)" : format(" (%s)", strerror(errno)));
  std::array<char, 64> command{};
  bool read = fgets(command.data(), command.size(), comm) != nullptr;
  fclose(comm);
  if (!read) return name + " (ended)";
  command[strcspn(command.data(), "\n")] = '\0';
  return name + " (" + command.data() + ")";
}

std::string user_name(uid_t uid) {
  const passwd* entry = getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

std::string not_open() { return format("present, but not open to you (%s)", strerror(errno)); }

std::string clock_time(time_t when) {
  if (when == 0) return "never";
  std::array<char, 16> shown;
  strftime(shown.data(), shown.size(), "%H:%M:%S", localtime(&when));
  return shown.data();
}

void semaphore_part(std::vector<Line>& screen) {
  screen.push_back(line({text("Semaphore set, key 1234 (0x000004d2)")}));
  int id = semget(kSemaphoreKey, 0, 0);
  semid_ds info{};
  int value = -1, rising = -1, zero = -1, last = -1;
  bool seen = id >= 0 && semctl(id, 0, IPC_STAT, &info) >= 0 &&
              (value = semctl(id, 0, GETVAL)) >= 0 && (rising = semctl(id, 0, GETNCNT)) >= 0 &&
              (zero = semctl(id, 0, GETZCNT)) >= 0 && (last = semctl(id, 0, GETPID)) >= 0;
  if (!seen && (errno == ENOENT || vanished())) {
    screen.push_back(line({text("  "), {"sem", "absent"}}));
    return;
  }
  if (!seen) {
    screen.push_back(line({text("  "), {"sem", not_open()}}));
    return;
  }
  screen.push_back(line({text("  id "),
                         {"sem.id", std::to_string(id)},
                         text("  owner "),
                         {"sem.owner", user_name(info.sem_perm.uid)},
                         text("  mode "),
                         {"sem.mode", format("%04o", info.sem_perm.mode & 0777)}}));
  screen.push_back(line({text("  value "),
                         {"sem.value", std::to_string(value)},
                         text("   waiting for it to rise "),
                         {"sem.ncnt", std::to_string(rising)},
                         text("   waiting for zero "),
                         {"sem.zcnt", std::to_string(zero)}}));
  screen.push_back(line({text("  last operation by "),
                         {"sem.pid", command_of(last)},
                         text(" at "),
                         {"sem.otime", clock_time(info.sem_otime)},
                         text("; last change "),
                         {"sem.ctime", clock_time(info.sem_ctime)}}));
}

void segment_part(std::vector<Line>& screen) {
  screen.push_back(line({text("Shared segment, key 10 (0x0000000a)")}));
  int id = shmget(kSegmentKey, 0, 0);
  shmid_ds info{};
  bool seen = id >= 0 && shmctl(id, IPC_STAT, &info) >= 0;
  if (!seen && (errno == ENOENT || vanished())) {
    screen.push_back(line({text("  "), {"shm", "absent"}}));
    return;
  }
  if (!seen) {
    screen.push_back(line({text("  "), {"shm", not_open()}}));
    return;
  }
  screen.push_back(line({text("  id "),
                         {"shm.id", std::to_string(id)},
                         text("  size "),
                         {"shm.size", std::to_string(info.shm_segsz)},
                         text("  mode "),
                         {"shm.mode", format("%04o", info.shm_perm.mode & 0777)},
                         text("  attached "),
                         {"shm.nattch", std::to_string(info.shm_nattch)}}));
  screen.push_back(line({text("  created by "),
                         {"shm.cpid", command_of(info.shm_cpid)},
                         text("; last attach or detach by "),
                         {"shm.lpid", command_of(info.shm_lpid)}}));

  size_t shown_size = std::min<size_t>(info.shm_segsz, kBytesShown);
  auto bytes = info.shm_nattch > 0
                   ? kit::peek_segment(kSegmentKey, id, shown_size, {info.shm_lpid, info.shm_cpid})
                   : std::nullopt;
  if (!bytes) {
    const char* why = info.shm_nattch > 0
                          ? "not shown: no process that has it attached may be looked at by you"
                          : "not shown: no process has it attached, and attaching it to read "
                            "them would change its last attach";
    screen.push_back(line({text("  bytes: "), {"shm.bytes", why}}));
    return;
  }
  std::string shown, hex;
  for (unsigned char c : *bytes) {
    shown += c == 0 ? "\\0" : isprint(c) ? std::string(1, static_cast<char>(c)) : "?";
    hex += format("%02x ", c);
  }
  screen.push_back(line({text("  text  "), {"shm.text", shown}}));
  screen.push_back(line({text("  hex   "), {"shm.hex", hex}}));
  std::string flag = bytes->empty()       ? "none"
                     : (*bytes)[0] == 'A' ? "'A': answered"
                                          : "no answer yet ('A' wanted)";
  screen.push_back(line({text("  byte 0, the answer flag: "), {"shm.flag", flag}}));
}

struct Holders {
  std::vector<std::string> readers, writers;
  int unseen = 0;   // processes whose descriptors this user may not look at
  int failed = 0;   // processes the view could not look at for another reason
  int failure = 0;  // that reason, an errno
};

Holders holders_of(const struct stat& fifo) {
  Holders found;
  auto could_not_look = [&] {
    if (errno == ENOENT || errno == ESRCH) return;  // it has ended meanwhile
    if (errno == EACCES || errno == EPERM) {
      found.unseen++;
    } else {
      found.failed++;
      found.failure = errno;
    }
  };
  DIR* proc = opendir("/proc");
  if (!proc) {
    could_not_look();
    return found;
  }
  while (dirent* entry = readdir(proc)) {
    pid_t pid = atoi(entry->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    std::string fds = std::string("/proc/") + entry->d_name + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (!dir) {
      could_not_look();
      continue;
    }
    while (dirent* fd = readdir(dir)) {
      struct stat target;
      if (fd->d_name[0] == '.' || stat((fds + "/" + fd->d_name).c_str(), &target) < 0) continue;
      if (target.st_dev != fifo.st_dev || target.st_ino != fifo.st_ino) continue;
      std::string fdinfo_path = std::string("/proc/") + entry->d_name + "/fdinfo/" + fd->d_name;
      FILE* fdinfo = fopen(fdinfo_path.c_str(), "re");
      unsigned flags = 0;
      bool known = false;
      std::array<char, 128> field;
      while (fdinfo && !known && fgets(field.data(), field.size(), fdinfo))
        known = sscanf(field.data(), "flags: %o", &flags) == 1;
      if (fdinfo) fclose(fdinfo);
      if (!known) {
        could_not_look();
        continue;
      }
      int access = flags & O_ACCMODE;
      if (access != O_WRONLY) found.readers.push_back(command_of(pid));
      if (access != O_RDONLY) found.writers.push_back(command_of(pid));
    }
    closedir(dir);
  }
  closedir(proc);
  return found;
}

std::string listed(const std::vector<std::string>& names) {
  if (names.empty()) return "none";
  std::string all;
  for (auto& name : names) all += (all.empty() ? "" : ", ") + name;
  return all;
}

void fifo_part(std::vector<Line>& screen) {
  std::array<char, 4096> cwd{};
  if (!getcwd(cwd.data(), cwd.size())) strcpy(cwd.data(), ".");
  screen.push_back(line({text(std::string("Named pipes in ") + cwd.data())}));
  Holders missed;  // the most processes either FIFO's look could not see
  for (const char* name : kFifos) {
    std::string key = std::string("fifo.") + name;
    struct stat info;
    if (lstat(name, &info) < 0) {
      screen.push_back(line({text(format("  %-8s ", name)), {key, "absent"}}));
      continue;
    }
    if (!S_ISFIFO(info.st_mode)) {
      screen.push_back(line({text(format("  %-8s ", name)), {key, "not a named pipe"}}));
      continue;
    }
    Holders holders = holders_of(info);
    missed.unseen = std::max(missed.unseen, holders.unseen);
    if (holders.failed > missed.failed) {
      missed.failed = holders.failed;
      missed.failure = holders.failure;
    }
    screen.push_back(line({text(format("  %-8s ", name)),
                           {key, "present"},
                           text("  mode "),
                           {key + ".mode", format("%04o", info.st_mode & 0777)},
                           text("  reading: "),
                           {key + ".readers", listed(holders.readers)},
                           text("  writing: "),
                           {key + ".writers", listed(holders.writers)}}));
  }
  if (missed.unseen > 0)
    screen.push_back(
        line({text(format("  (%d processes could not be looked at for lack of "
                          "permission: run as root to see them all)",
                          missed.unseen))}));
  if (missed.failed > 0)
    screen.push_back(
        line({text(format("  (could not look at every process: %s)", strerror(missed.failure)))}));
}

struct Parts {
  bool sem = true, shm = true, fifo = true;
};

std::vector<Line> snapshot(const Parts& parts) {
  std::vector<Line> screen;
  auto gap = [&] {
    if (!screen.empty()) screen.push_back({});
  };
  if (parts.sem) {
    gap();
    semaphore_part(screen);
  }
  if (parts.shm) {
    gap();
    segment_part(screen);
  }
  if (parts.fifo) {
    gap();
    fifo_part(screen);
  }
  return screen;
}

std::map<std::string, std::string> values(const std::vector<Line>& screen) {
  std::map<std::string, std::string> found;
  for (auto& each : screen)
    for (auto& piece : each)
      if (!piece.key.empty()) found[piece.key] = piece.text;
  return found;
}

void print_plain(const std::vector<Line>& screen) {
  for (auto& each : screen) {
    for (auto& piece : each) fputs(piece.text.c_str(), stdout);
    putchar('\n');
  }
}

volatile sig_atomic_t stop = 0;
void on_stop(int) { stop = 1; }

// Redraws whenever something changes, and a few times a second for the
// clock; what changed stays marked for a moment.
int watch(const Parts& parts) {
  struct sigaction ending {};
  ending.sa_handler = on_stop;
  sigaction(SIGINT, &ending, nullptr);
  sigaction(SIGTERM, &ending, nullptr);

  using Clock = std::chrono::steady_clock;
  const bool colour = getenv("NO_COLOR") == nullptr;
  std::map<std::string, std::string> before;
  std::map<std::string, Clock::time_point> changed;
  auto drawn = Clock::time_point{};
  fputs("\033[?25l", stdout);  // no cursor blinking over the values
  while (!stop) {
    auto screen = snapshot(parts);
    auto now_values = values(screen);
    auto now = Clock::now();
    bool differs = now_values != before;
    for (auto& [key, value] : now_values)
      if (!before.empty() && before[key] != value) changed[key] = now;
    if (differs || now - drawn >= std::chrono::milliseconds(kRedrawMs)) {
      time_t wall = time(nullptr);
      printf(
          "\033[H\033[1mipcwatch\033[0m  the kit's kernel objects, live  %s  Ctrl-C ends"
          "\033[K\n\033[K\n",
          clock_time(wall).c_str());
      for (auto& each : screen) {
        for (auto& piece : each) {
          bool fresh = colour && changed.count(piece.key) &&
                       now - changed[piece.key] < std::chrono::milliseconds(kHighlightMs);
          printf(fresh ? "\033[1;33m%s\033[0m" : "%s", piece.text.c_str());
        }
        fputs("\033[K\n", stdout);
      }
      fputs("\033[J", stdout);
      fflush(stdout);  // a terminal view: show each redraw as it is made
      drawn = now;
      before = std::move(now_values);
    }
    poll(nullptr, 0, kLookMs);
  }
  fputs("\033[?25h\n", stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool once = !isatty(STDOUT_FILENO);
  Parts parts;
  bool chosen = false;
  for (int i = 1; i < argc; i++) {
    std::string_view arg = argv[i];
    if (arg == "--once") {
      once = true;
      continue;
    }
    if (!chosen) {
      parts = {false, false, false};
      chosen = true;
    }
    if (arg == "sem")
      parts.sem = true;
    else if (arg == "shm")
      parts.shm = true;
    else if (arg == "fifo")
      parts.fifo = true;
    else {
      fprintf(stderr, "usage: ipcwatch [--once] [sem|shm|fifo]...\n");
      return 2;
    }
  }
  if (!once) return watch(parts);
  print_plain(snapshot(parts));
  return 0;
}
